# The Windows stubs, from the native build: a static check of both PE files,
# and the Wine tests (label "wine") that run kvsfx64.exe under 64-bit Wine on
# a virtual display. script/build passes the two cross-build folders.
find_package(Python3 COMPONENTS Interpreter)
set(KVSFX_WINDOWS_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/windows)
set(KVSFX_WINE_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/wine)

set(pe_arguments "")
if(KVSFX_WIN32_DIR)
  list(APPEND pe_arguments --pe32 ${KVSFX_WIN32_DIR}/kvsfx32.exe)
endif()
if(KVSFX_WIN64_DIR)
  list(APPEND pe_arguments --pe32plus ${KVSFX_WIN64_DIR}/kvsfx64.exe)
endif()
if(pe_arguments AND Python3_FOUND)
  add_test(NAME windows_pe_check COMMAND Python3::Interpreter ${KVSFX_WINDOWS_TESTS}/check_pe.py ${pe_arguments})
endif()

# --- Wine -------------------------------------------------------------------
find_program(KVSFX_MINGW64_GCC x86_64-w64-mingw32-gcc)
find_program(KVSFX_XVFB Xvfb)
find_program(KVSFX_XDOTOOL xdotool)
if(KVSFX_WIN64_DIR AND Python3_FOUND AND KVSFX_MINGW64_GCC AND KVSFX_XVFB AND KVSFX_XDOTOOL
   AND EXISTS /usr/lib/wine/wine64 AND TARGET kvsfx-make)
  set(wine_root ${CMAKE_CURRENT_BINARY_DIR}/wine)
  set(wine_prefix ${wine_root}/prefix)
  set(wine_probe ${wine_root}/probe.exe)

  # The probe is a Windows console program of its own, built with MinGW.
  add_custom_command(OUTPUT ${wine_probe}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${wine_root}
    COMMAND ${KVSFX_MINGW64_GCC} -O2 -Wall -Wextra -Werror -s -o ${wine_probe} ${KVSFX_WINE_TESTS}/probe.c
    DEPENDS ${KVSFX_WINE_TESTS}/probe.c
    COMMENT "Wine probe")
  add_custom_target(kvsfx_wine_probe ALL DEPENDS ${wine_probe})

  add_test(NAME wine_prefix_create COMMAND ${KVSFX_WINE_TESTS}/prefix.sh create ${wine_prefix})
  set_tests_properties(wine_prefix_create PROPERTIES
    FIXTURES_SETUP wine_prefix RESOURCE_LOCK wine LABELS wine TIMEOUT 700)
  add_test(NAME wine_prefix_remove COMMAND ${KVSFX_WINE_TESTS}/prefix.sh remove ${wine_prefix})
  set_tests_properties(wine_prefix_remove PROPERTIES
    FIXTURES_CLEANUP wine_prefix RESOURCE_LOCK wine LABELS wine TIMEOUT 120)

  # name and hard time limit in seconds
  set(wine_scenarios auto 120 dialog 150 overwrite 150 crc 90 password 120 abort 180 info 90 prompt 120
      help_about 120 archiver 150 run 240)
  list(LENGTH wine_scenarios count)
  math(EXPR last "${count} - 1")
  foreach(index RANGE 0 ${last} 2)
    math(EXPR limit_index "${index} + 1")
    list(GET wine_scenarios ${index} name)
    list(GET wine_scenarios ${limit_index} limit)
    add_test(NAME wine_${name}
      COMMAND timeout -k 10 ${limit} ${Python3_EXECUTABLE} ${KVSFX_WINE_TESTS}/scenarios.py ${name})
    set_tests_properties(wine_${name} PROPERTIES
      LABELS wine
      FIXTURES_REQUIRED wine_prefix
      RESOURCE_LOCK wine
      TIMEOUT ${limit}
      ENVIRONMENT "KVSFX_STUB=${KVSFX_WIN64_DIR}/kvsfx64.exe;KVSFX_MAKE=$<TARGET_FILE:kvsfx-make>;KVSFX_PROBE=${wine_probe};KVSFX_WINEPREFIX=${wine_prefix};KVSFX_WORK=${wine_root}/work/${name};KVSFX_SHOTS=${wine_root}/shots")
  endforeach()
endif()
