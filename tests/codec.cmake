# The decoding core: inflater, CRC-32 and output stage, decryption keys.
add_library(kvsfx_inflate_harness STATIC ${CMAKE_CURRENT_LIST_DIR}/inflate_harness.cpp)
target_link_libraries(kvsfx_inflate_harness PUBLIC kvsfx_fake_platform ZLIB::ZLIB deflate)
target_compile_options(kvsfx_inflate_harness PRIVATE ${KVSFX_WARNINGS})

kvsfx_test(test_inflate test_inflate.cpp)
kvsfx_test(test_inflate_malformed test_inflate_malformed.cpp)
kvsfx_test(test_inflate_tables test_inflate_tables.cpp)
kvsfx_test(test_crc_crypt test_crc_crypt.cpp)
foreach(name test_inflate test_inflate_malformed test_inflate_tables test_crc_crypt)
  target_link_libraries(${name} PRIVATE kvsfx_inflate_harness)
endforeach()
