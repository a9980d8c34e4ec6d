kvsfx_test(test_text test_text.cpp)
