# Speed of the inflater and CRC-32 against zlib and libdeflate.
find_package(ZLIB REQUIRED)
add_executable(bench_codec ${CMAKE_CURRENT_LIST_DIR}/bench_codec.cpp)
target_link_libraries(bench_codec PRIVATE kvsfx_core ZLIB::ZLIB deflate)
target_include_directories(bench_codec PRIVATE ${SRC})
target_compile_options(bench_codec PRIVATE ${KVSFX_WARNINGS} -O2)
set_target_properties(bench_codec PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
