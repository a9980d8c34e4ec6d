# The builder, kvsfx-make: end to end on fake stubs, and its name rules.
kvsfx_test(test_builder ${CMAKE_CURRENT_SOURCE_DIR}/test_builder.cpp)
kvsfx_test(test_builder_span ${CMAKE_CURRENT_SOURCE_DIR}/test_builder_span.cpp)
kvsfx_test(test_builder_times ${CMAKE_CURRENT_SOURCE_DIR}/test_builder_times.cpp)
kvsfx_test(test_builder_names ${CMAKE_CURRENT_SOURCE_DIR}/test_builder_names.cpp
  ${CMAKE_SOURCE_DIR}/tools/make/names.cpp)
target_include_directories(test_builder_names PRIVATE ${CMAKE_SOURCE_DIR}/tools/make)
kvsfx_test(test_builder_reader ${CMAKE_CURRENT_SOURCE_DIR}/test_builder_reader.cpp)
if(KVSFX_WIN32_DIR)
  target_compile_definitions(test_builder_reader PRIVATE KVSFX_WIN32_STUB="${KVSFX_WIN32_DIR}/kvsfx32.exe")
endif()
foreach(test test_builder test_builder_span test_builder_reader test_builder_times)
  add_dependencies(${test} kvsfx-make)
endforeach()

# The self-extracting file reader's fuzz target (clang, libFuzzer): built in
# build/fuzz with KVSFX_FUZZ and KVSFX_SANITIZE like the inflater's.
if(KVSFX_FUZZ)
  set(make_dir ${CMAKE_SOURCE_DIR}/tools/make)
  add_executable(fuzz_sfx_reader ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/fuzz_sfx_reader.cpp
    ${make_dir}/sfx_reader.cpp ${make_dir}/names.cpp ${make_dir}/zip_crypto.cpp
    ${make_dir}/deflate_engine.cpp ${make_dir}/host_files.cpp ${make_dir}/host_files_posix.cpp)
  target_include_directories(fuzz_sfx_reader PRIVATE ${SRC} ${make_dir})
  target_compile_options(fuzz_sfx_reader PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_sfx_reader PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_sfx_reader PRIVATE ZLIB::ZLIB deflate)
endif()
