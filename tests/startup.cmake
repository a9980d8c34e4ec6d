# Start-up, configuration, command line, archive input and volumes.
kvsfx_test(test_startup test_startup.cpp)
kvsfx_test(test_startup_command_line test_startup_command_line.cpp)
kvsfx_test(test_startup_signatures test_startup_signatures.cpp)
kvsfx_test(test_input test_input.cpp)
# The tests read the Linux stub itself (its ELF header, its image).
add_dependencies(test_startup kvsfx)
add_dependencies(test_startup_signatures kvsfx)
