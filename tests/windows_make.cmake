# The Windows build of the builder, kvsfx-make.exe, from the native build:
# a static check of what both PE files import, and (label "wine") both builds
# under Wine making self-extracting files that the stub of the same width
# extracts again. They share the prefix fixtures and locks of windows.cmake.
find_package(Python3 COMPONENTS Interpreter)
set(make_exe_arguments "")
foreach(folder ${KVSFX_WIN32_DIR} ${KVSFX_WIN64_DIR})
  list(APPEND make_exe_arguments ${folder}/kvsfx-make.exe)
endforeach()
if(make_exe_arguments AND Python3_FOUND)
  add_test(NAME windows_make_imports
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/wine/builder_on_windows.py imports ${make_exe_arguments})
endif()

# The PE32+ builder under the host's Wine, the PE32 builder under the WoW64
# root's, each with its own stub.
if(TEST wine_prefix_create AND wine_root)
  set(limit 240)
  set(make_suites wine host ${KVSFX_WIN64_DIR})
  if(TEST wine32_prefix_create)
    list(APPEND make_suites wine32 wow64 ${KVSFX_WIN32_DIR})
  endif()
  list(LENGTH make_suites count)
  math(EXPR last "${count} - 1")
  foreach(index RANGE 0 ${last} 3)
    math(EXPR kind_index "${index} + 1")
    math(EXPR folder_index "${index} + 2")
    list(GET make_suites ${index} name)
    list(GET make_suites ${kind_index} kind)
    list(GET make_suites ${folder_index} folder)
    set(stub ${folder}/kvsfx64.exe)
    if(kind STREQUAL "wow64")
      set(stub ${folder}/kvsfx32.exe)
    endif()
    add_test(NAME ${name}_make
      COMMAND timeout -k 10 ${limit} ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/wine/builder_on_windows.py wine)
    set_tests_properties(${name}_make PROPERTIES
      LABELS wine
      FIXTURES_REQUIRED ${name}_prefix
      RESOURCE_LOCK ${name}
      TIMEOUT ${limit}
      SKIP_RETURN_CODE 77
      ENVIRONMENT "KVSFX_WINE=${kind};KVSFX_MAKE_EXE=${folder}/kvsfx-make.exe;KVSFX_STUB=${stub};KVSFX_WINEPREFIX=${wine_root}/${name}-prefix;KVSFX_WORK=${wine_root}/work-${name}/make")
  endforeach()
endif()
