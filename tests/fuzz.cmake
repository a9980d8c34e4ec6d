# The fuzz targets beside the inflater's (clang, libFuzzer): the whole
# program over arbitrary archive bytes, the start-up reader, the command
# line and the message-table loader on the scripted platform with its files
# in memory, and the builder's zip reader. script/fuzz builds and runs them.
if(KVSFX_FUZZ)
  add_library(kvsfx_memory_platform STATIC ${CMAKE_CURRENT_LIST_DIR}/fuzz/memory_platform.cpp)
  target_link_libraries(kvsfx_memory_platform PUBLIC kvsfx_fake_platform)
  target_include_directories(kvsfx_memory_platform PUBLIC ${CMAKE_CURRENT_LIST_DIR})

  foreach(name fuzz_extract fuzz_startup fuzz_command_line fuzz_messages)
    add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/fuzz/${name}.cpp)
    target_link_libraries(${name} PRIVATE kvsfx_memory_platform kvsfx_core ZLIB::ZLIB)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  endforeach()

  # The builder's sources but its entry point, with coverage.
  file(GLOB KVSFX_FUZZ_MAKE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/make/*.cpp)
  list(FILTER KVSFX_FUZZ_MAKE_SOURCES EXCLUDE REGEX "/(main|host_entry_[a-z0-9]+|[a-z_]+_win32)\\.cpp$")
  add_executable(fuzz_zip_reader ${CMAKE_CURRENT_LIST_DIR}/fuzz/fuzz_zip_reader.cpp ${KVSFX_FUZZ_MAKE_SOURCES})
  target_include_directories(fuzz_zip_reader PRIVATE ${SRC} ${CMAKE_SOURCE_DIR}/tools/make)
  target_link_libraries(fuzz_zip_reader PRIVATE ZLIB::ZLIB deflate)
  target_compile_options(fuzz_zip_reader PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_zip_reader PRIVATE -fsanitize=fuzzer)
endif()
