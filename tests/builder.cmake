# The builder, kvsfx-make: end to end on fake stubs, and its name rules.
kvsfx_test(test_builder ${CMAKE_CURRENT_SOURCE_DIR}/test_builder.cpp)
kvsfx_test(test_builder_span ${CMAKE_CURRENT_SOURCE_DIR}/test_builder_span.cpp)
kvsfx_test(test_builder_times ${CMAKE_CURRENT_SOURCE_DIR}/test_builder_times.cpp)
kvsfx_test(test_builder_names ${CMAKE_CURRENT_SOURCE_DIR}/test_builder_names.cpp
  ${CMAKE_SOURCE_DIR}/tools/make/names.cpp)
target_include_directories(test_builder_names PRIVATE ${CMAKE_SOURCE_DIR}/tools/make)
foreach(test test_builder test_builder_span test_builder_times)
  add_dependencies(${test} kvsfx-make)
endforeach()
