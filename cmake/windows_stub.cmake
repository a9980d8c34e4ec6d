# The Windows stub: no C++ runtime, our own entry point, imports from the
# system DLLs only. Refined by the Windows front-end work.
add_executable(${KVSFX_STUB_NAME} WIN32 ${KVSFX_ENTRY_SOURCE})
target_compile_options(${KVSFX_STUB_NAME} PRIVATE ${KVSFX_WARNINGS} ${KVSFX_STUB_FLAGS} -Os)
target_compile_options(kvsfx_core PRIVATE -Os)
target_link_libraries(${KVSFX_STUB_NAME} PRIVATE kvsfx_core)
target_link_options(${KVSFX_STUB_NAME} PRIVATE -s -static-libgcc -static-libstdc++)
target_link_libraries(${KVSFX_STUB_NAME} PRIVATE kernel32 user32 gdi32 shell32 advapi32 comctl32)
