# The format layer's code-page tables and UTF-8 routines.
kvsfx_test(test_format ${CMAKE_CURRENT_SOURCE_DIR}/test_format.cpp)
