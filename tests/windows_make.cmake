# The Windows build of the builder, kvsfx-make.exe, from the native build:
# a static check of what both PE files import, and (label "wine") the PE32+
# build under 64-bit Wine making self-extracting files that kvsfx64.exe
# extracts again. It shares the Wine prefix fixture and lock of windows.cmake.
find_package(Python3 COMPONENTS Interpreter)
set(make_exe_arguments "")
foreach(folder ${KVSFX_WIN32_DIR} ${KVSFX_WIN64_DIR})
  list(APPEND make_exe_arguments ${folder}/kvsfx-make.exe)
endforeach()
if(make_exe_arguments AND Python3_FOUND)
  add_test(NAME windows_make_imports
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/wine/builder_on_windows.py imports ${make_exe_arguments})
endif()

if(TEST wine_prefix_create AND wine_prefix AND wine_root)
  set(limit 240)
  add_test(NAME wine_make
    COMMAND timeout -k 10 ${limit} ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/wine/builder_on_windows.py wine)
  set_tests_properties(wine_make PROPERTIES
    LABELS wine
    FIXTURES_REQUIRED wine_prefix
    RESOURCE_LOCK wine
    TIMEOUT ${limit}
    ENVIRONMENT "KVSFX_MAKE_EXE=${KVSFX_WIN64_DIR}/kvsfx-make.exe;KVSFX_STUB=${KVSFX_WIN64_DIR}/kvsfx64.exe;KVSFX_WINEPREFIX=${wine_prefix};KVSFX_WORK=${wine_root}/work/make")
endif()
