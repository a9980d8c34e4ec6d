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
# Two suites of the same scenarios: kvsfx64.exe under the host's 64-bit Wine
# (tests wine_*), and the product, kvsfx32.exe, under the Wine of the WoW64
# root that tests/wine/wow64_root.sh makes once (tests wine32_*). Where that
# root cannot be made (no root rights, no mirror) the wine32_* tests are
# reported as skipped, with the reason in their output.
find_program(KVSFX_MINGW64_GCC x86_64-w64-mingw32-gcc)
find_program(KVSFX_XVFB Xvfb)
find_program(KVSFX_XDOTOOL xdotool)
if(KVSFX_WIN64_DIR AND Python3_FOUND AND KVSFX_MINGW64_GCC AND KVSFX_XVFB AND KVSFX_XDOTOOL
   AND EXISTS /usr/lib/wine/wine64 AND TARGET kvsfx-make)
  set(wine_root ${CMAKE_CURRENT_BINARY_DIR}/wine)
  set(wine_probe ${wine_root}/probe.exe)

  # The probe is a Windows console program of its own, built with MinGW.
  add_custom_command(OUTPUT ${wine_probe}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${wine_root}
    COMMAND ${KVSFX_MINGW64_GCC} -O2 -Wall -Wextra -Werror -s -o ${wine_probe} ${KVSFX_WINE_TESTS}/probe.c -lgdi32
    DEPENDS ${KVSFX_WINE_TESTS}/probe.c
    COMMENT "Wine probe")
  add_custom_target(kvsfx_wine_probe ALL DEPENDS ${wine_probe})
  # The same probe as a 32-bit program: whether this machine runs 32-bit
  # code under the WoW64 root's Wine at all.
  find_program(KVSFX_MINGW32_GCC i686-w64-mingw32-gcc)
  set(wine_probe32 "")
  if(KVSFX_MINGW32_GCC)
    set(wine_probe32 ${wine_root}/probe32/probe.exe)
    add_custom_command(OUTPUT ${wine_probe32}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${wine_root}/probe32
      COMMAND ${KVSFX_MINGW32_GCC} -O2 -Wall -Wextra -Werror -s -o ${wine_probe32} ${KVSFX_WINE_TESTS}/probe.c -lgdi32
      DEPENDS ${KVSFX_WINE_TESTS}/probe.c
      COMMENT "Wine probe, 32-bit")
    add_custom_target(kvsfx_wine_probe32 ALL DEPENDS ${wine_probe32})
  endif()

  # name and hard time limit in seconds
  set(wine_scenarios auto 120 dialog 150 overwrite 150 crc 90 password 120 abort 180 info 90 prompt 120
      help_about 120 archiver 150 run 240 high_dpi 150)
  list(LENGTH wine_scenarios count)
  math(EXPR last "${count} - 1")

  # kvsfx_wine_suite(test-name-prefix wine-kind stub prefix-option)
  function(kvsfx_wine_suite name kind stub)
    set(prefix ${wine_root}/${name}-prefix)
    set(kind_option "")
    if(kind STREQUAL "wow64")
      set(kind_option --wow64 --check32 ${wine_probe32})
    endif()
    add_test(NAME ${name}_prefix_create
      COMMAND ${Python3_EXECUTABLE} ${KVSFX_WINE_TESTS}/wine.py prefix create ${kind_option} ${prefix})
    # The first creation of the WoW64 root takes a few minutes.
    set_tests_properties(${name}_prefix_create PROPERTIES
      FIXTURES_SETUP ${name}_prefix RESOURCE_LOCK ${name} LABELS wine TIMEOUT 1500 SKIP_RETURN_CODE 77)
    add_test(NAME ${name}_prefix_remove
      COMMAND ${Python3_EXECUTABLE} ${KVSFX_WINE_TESTS}/wine.py prefix remove ${kind_option} ${prefix})
    set_tests_properties(${name}_prefix_remove PROPERTIES
      FIXTURES_CLEANUP ${name}_prefix RESOURCE_LOCK ${name} LABELS wine TIMEOUT 120)
    foreach(index RANGE 0 ${last} 2)
      math(EXPR limit_index "${index} + 1")
      list(GET wine_scenarios ${index} scenario)
      list(GET wine_scenarios ${limit_index} limit)
      add_test(NAME ${name}_${scenario}
        COMMAND timeout -k 10 ${limit} ${Python3_EXECUTABLE} ${KVSFX_WINE_TESTS}/scenarios.py ${scenario})
      set_tests_properties(${name}_${scenario} PROPERTIES
        LABELS wine
        FIXTURES_REQUIRED ${name}_prefix
        RESOURCE_LOCK ${name}
        TIMEOUT ${limit}
        SKIP_RETURN_CODE 77
        ENVIRONMENT "KVSFX_WINE=${kind};KVSFX_STUB=${stub};KVSFX_MAKE=$<TARGET_FILE:kvsfx-make>;KVSFX_PROBE=${wine_probe};KVSFX_WINEPREFIX=${prefix};KVSFX_WORK=${wine_root}/work-${name}/${scenario};KVSFX_SHOTS=${wine_root}/shots-${name}")
    endforeach()
  endfunction()

  kvsfx_wine_suite(wine host ${KVSFX_WIN64_DIR}/kvsfx64.exe)
  # The host suite's prefix, for the tests of other lists that share it.
  set(wine_prefix ${wine_root}/wine-prefix)
  if(KVSFX_WIN32_DIR AND wine_probe32)
    kvsfx_wine_suite(wine32 wow64 ${KVSFX_WIN32_DIR}/kvsfx32.exe)
  endif()
endif()
