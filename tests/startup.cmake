# Start-up, configuration, command line, archive input and volumes.
set(KVSFX_STARTUP_SUPPORT test_startup_support.cpp fake_platform.cpp)
kvsfx_test(test_startup test_startup.cpp ${KVSFX_STARTUP_SUPPORT})
kvsfx_test(test_startup_command_line test_startup_command_line.cpp fake_platform.cpp)
kvsfx_test(test_startup_signatures test_startup_signatures.cpp ${KVSFX_STARTUP_SUPPORT})
kvsfx_test(test_input test_input.cpp ${KVSFX_STARTUP_SUPPORT})
# The tests read the Linux stub itself (its ELF header, its image).
add_dependencies(test_startup kvsfx)
add_dependencies(test_startup_signatures kvsfx)
