kvsfx_test(test_messages test_messages.cpp)
