# Extraction end to end: paths and folders, output files, the archive walk
# (in-process on assembled self-extracting files), round trips through the
# real stub and builder, and the terminal front-end.
kvsfx_test(test_paths test_paths.cpp)
kvsfx_test(test_extract_walk test_extract_walk.cpp)
add_dependencies(test_extract_walk kvsfx)
kvsfx_test(test_extract_roundtrip test_extract_roundtrip.cpp)
kvsfx_test(test_extract_terminal test_extract_terminal.cpp)
add_dependencies(test_extract_roundtrip kvsfx kvsfx-make)
add_dependencies(test_extract_terminal kvsfx)
kvsfx_test(test_extract_links test_extract_links.cpp)
add_dependencies(test_extract_links kvsfx)
set_tests_properties(test_extract_roundtrip test_extract_terminal PROPERTIES TIMEOUT 600)
kvsfx_test(test_extract_ui test_extract_ui.cpp)
# The program started after a run, through the builder and the Linux stub.
kvsfx_test(test_program_start test_program_start.cpp)
add_dependencies(test_program_start kvsfx kvsfx-make)
