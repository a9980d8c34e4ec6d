# What the builder writes into the Windows stubs besides the archive
# (version information, header checksum, the start-up check's span), the
# static check of windows.cmake refusing spoilt copies of the PE32 stub, the
# stub built a second time to the same bytes, and (label "wine") a signed
# self-extracting file extracting under 64-bit Wine. The last shares the
# Wine prefix fixture and lock of windows.cmake.
find_package(Python3 COMPONENTS Interpreter)

if(KVSFX_WIN32_DIR AND KVSFX_WIN64_DIR AND Python3_FOUND AND TARGET kvsfx-make)
  add_test(NAME windows_product_info
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/windows/product_info.py
      $<TARGET_FILE:kvsfx-make> ${KVSFX_WIN32_DIR}/kvsfx32.exe ${KVSFX_WIN64_DIR}/kvsfx64.exe $<TARGET_FILE:kvsfx>)
endif()

if(KVSFX_WIN32_DIR AND Python3_FOUND)
  add_test(NAME windows_pe_check_refusals
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_pe_refusals.py ${KVSFX_WIN32_DIR}/kvsfx32.exe)
  add_test(NAME windows_reproducible
    COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/windows/reproducible.py ${CMAKE_COMMAND}
      ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw32.cmake kvsfx32 ${KVSFX_WIN32_DIR}/kvsfx32.exe)
  set_tests_properties(windows_reproducible PROPERTIES TIMEOUT 900)
endif()

find_program(KVSFX_OSSLSIGNCODE osslsigncode)
if(TEST wine_prefix_create AND wine_prefix AND wine_root AND KVSFX_OSSLSIGNCODE)
  set(limit 240)
  add_test(NAME wine_signing
    COMMAND timeout -k 10 ${limit} ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/wine/signing.py)
  set_tests_properties(wine_signing PROPERTIES
    LABELS wine
    FIXTURES_REQUIRED wine_prefix
    RESOURCE_LOCK wine
    TIMEOUT ${limit}
    ENVIRONMENT "KVSFX_STUB=${KVSFX_WIN64_DIR}/kvsfx64.exe;KVSFX_MAKE=$<TARGET_FILE:kvsfx-make>;KVSFX_PROBE=${wine_probe};KVSFX_WINEPREFIX=${wine_prefix};KVSFX_WORK=${wine_root}/work/signing")
endif()
