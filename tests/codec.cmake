# The decoding core: inflater, CRC-32 and output stage, decryption keys.
kvsfx_test(test_inflate test_inflate.cpp)
kvsfx_test(test_inflate_malformed test_inflate_malformed.cpp)
kvsfx_test(test_inflate_tables test_inflate_tables.cpp)
kvsfx_test(test_crc_crypt test_crc_crypt.cpp)
# The same streams through the fast loop of the 32-bit build (its 32-bit bit
# buffer), which this machine may not be able to run itself.
kvsfx_test(test_inflate_narrow test_inflate.cpp test_inflate_malformed.cpp ${SRC}/codec/inflate_fast.cpp)
target_compile_definitions(test_inflate_narrow PRIVATE KVSFX_NARROW_BIT_BUFFER)
# A decoder that runs on over a stream's end would hang its test: stop it.
set_tests_properties(test_inflate test_inflate_malformed test_inflate_tables test_crc_crypt test_inflate_narrow
  PROPERTIES TIMEOUT 300)

# The inflater's fuzz target (clang, libFuzzer): script/fuzz builds it in
# build/fuzz with KVSFX_FUZZ and KVSFX_SANITIZE and runs it for a bounded time.
if(KVSFX_FUZZ)
  # Coverage for the fuzzer over the stub's code; clang may warn where gcc
  # does not, which must not stop a fuzzing run.
  target_compile_options(kvsfx_core PRIVATE -fsanitize=fuzzer-no-link -Wno-error)
  add_executable(fuzz_inflate ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_inflate.cpp)
  target_link_libraries(fuzz_inflate PRIVATE kvsfx_core)
  target_include_directories(fuzz_inflate PRIVATE ${SRC})
  target_compile_options(fuzz_inflate PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_inflate PRIVATE -fsanitize=fuzzer)
endif()
