# The Windows stub (kvsfx32.exe, PE32; kvsfx64.exe, PE32+) and the Windows
# build of the builder (kvsfx-make.exe).
#
# The stub is linked without the C runtime and without the MinGW runtime
# libraries: its entry point is SfxEntry, it brings its own memcpy and kin
# (src/platform/win32/runtime.cpp), and it imports only from KERNEL32,
# USER32, GDI32, SHELL32, ADVAPI32 and COMCTL32 (one function, by ordinal),
# all present since Windows 95 and NT 4. libgcc is linked statically for the
# stack probe and, on x86, 64-bit division. The PE32 stub runs on a 486: no
# instruction of a later processor (CMOV, MMX, SSE).
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(KVSFX_MANIFEST_ARCH x86)
  # __stdcall with no arguments, decorated on x86.
  set(KVSFX_ENTRY_SYMBOL _SfxEntry@0)
  set(KVSFX_COMCTL_EXPORT "InitCommonControls@0")
  set(KVSFX_DLLTOOL_FLAGS -m i386)
  # The Win32 ABI keeps the stack aligned to 4 bytes, and a 486 has no
  # instruction that wants more: no code to align it to 16.
  set(KVSFX_CPU_FLAGS -march=i486 -mpreferred-stack-boundary=2)
  # Windows 95 and NT 4 load nothing newer than 4.0.
  set(KVSFX_SYSTEM_VERSION 4 0)
  # An .exe is loaded at its preferred base by every Windows before Vista,
  # and by the later ones too when it carries no relocations: the product
  # leaves out their 2.5 KB, and with them the randomised base that 32-bit
  # Windows would give it (8 bits of it).
  set(KVSFX_RELOCATION_FLAGS -Wl,--disable-dynamicbase -Wl,--disable-reloc-section)
else()
  set(KVSFX_MANIFEST_ARCH amd64)
  set(KVSFX_ENTRY_SYMBOL SfxEntry)
  set(KVSFX_COMCTL_EXPORT "InitCommonControls")
  set(KVSFX_DLLTOOL_FLAGS -m i386:x86-64)
  set(KVSFX_CPU_FLAGS "")
  # The first 64-bit Windows, XP x64 and Server 2003, are 5.2.
  set(KVSFX_SYSTEM_VERSION 5 2)
  set(KVSFX_RELOCATION_FLAGS -Wl,--dynamicbase)
endif()

list(GET KVSFX_SYSTEM_VERSION 0 KVSFX_SYSTEM_MAJOR)
list(GET KVSFX_SYSTEM_VERSION 1 KVSFX_SYSTEM_MINOR)

# The common-controls initialisation is imported by ordinal 17; the import
# library that MinGW ships imports it by name, so the stub gets its own.
string(REGEX REPLACE "g\\+\\+$" "dlltool" KVSFX_DLLTOOL "${CMAKE_CXX_COMPILER}")
set(KVSFX_COMCTL_DEF ${CMAKE_CURRENT_BINARY_DIR}/comctl32_ordinal.def)
set(KVSFX_COMCTL_LIB ${CMAKE_CURRENT_BINARY_DIR}/libcomctl32_ordinal.a)
file(WRITE ${KVSFX_COMCTL_DEF} "LIBRARY COMCTL32.dll\nEXPORTS\n  ${KVSFX_COMCTL_EXPORT} @17 NONAME\n")
add_custom_command(OUTPUT ${KVSFX_COMCTL_LIB}
  COMMAND ${KVSFX_DLLTOOL} ${KVSFX_DLLTOOL_FLAGS} -d ${KVSFX_COMCTL_DEF} -l ${KVSFX_COMCTL_LIB}
  DEPENDS ${KVSFX_COMCTL_DEF}
  COMMENT "Import library for COMCTL32 ordinal 17")
add_custom_target(kvsfx_comctl_ordinal DEPENDS ${KVSFX_COMCTL_LIB})

# The manifest names the build's architecture. Its line breaks and
# indentation go: the loader does not need them, the download does not
# want them.
configure_file(${SRC}/platform/win32/kvsfx.manifest.in ${CMAKE_CURRENT_BINARY_DIR}/kvsfx.manifest.xml @ONLY)
file(READ ${CMAKE_CURRENT_BINARY_DIR}/kvsfx.manifest.xml KVSFX_MANIFEST_TEXT)
string(REGEX REPLACE "\n *" "" KVSFX_MANIFEST_TEXT "${KVSFX_MANIFEST_TEXT}")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/kvsfx.manifest CONTENT "${KVSFX_MANIFEST_TEXT}" @ONLY)

# The version information, with room for the texts the builder writes.
set(KVSFX_VERSION_INFO ${CMAKE_CURRENT_BINARY_DIR}/kvsfx_version.bin)
add_custom_command(OUTPUT ${KVSFX_VERSION_INFO}
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tools/gen_version_info.py ${KVSFX_VERSION_INFO}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tools/gen_version_info.py
  COMMENT "Version information of the stub")
add_custom_target(kvsfx_version_info DEPENDS ${KVSFX_VERSION_INFO})

# The stub is built for size, as one unit (link-time optimisation at -Oz:
# arguments that never vary are dropped, code that no caller reaches goes,
# small functions of other files are inlined). Three kinds of files stay
# out of that unit, each compiled on its own with its own level, so that
# the link cannot change it: the files every output byte passes through
# (KVSFX_SPEED_SOURCES, -O2), the inflater (-Os: -Oz would trade its speed
# for a hundred bytes), and the C library functions the stub provides,
# which the compiler calls on its own and which must neither vanish from
# the unit nor be compiled into calls to themselves. In the unit a function
# called once stays a function of its own: merged into its caller it costs
# more bytes than the call, for the registers the caller must then save
# (600 bytes in all).
set(KVSFX_SIZE_FLAGS -Oz -fno-inline-functions-called-once -ffunction-sections -fno-stack-protector -fno-ident
  -fno-unwind-tables -fno-asynchronous-unwind-tables ${KVSFX_CPU_FLAGS})
set_property(TARGET kvsfx_core PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
file(GLOB KVSFX_INFLATER_SOURCES ${SRC}/codec/inflate*.cpp)
set_source_files_properties(${KVSFX_INFLATER_SOURCES} PROPERTIES
  COMPILE_OPTIONS "-Os;-finline-functions-called-once;-fno-lto")
set_source_files_properties(${SRC}/platform/win32/runtime.cpp PROPERTIES
  COMPILE_OPTIONS "-fno-tree-loop-distribute-patterns;-fno-lto")

add_executable(${KVSFX_STUB_NAME} WIN32 ${KVSFX_ENTRY_SOURCE} ${SRC}/platform/win32/stub.rc)
add_dependencies(${KVSFX_STUB_NAME} kvsfx_comctl_ordinal kvsfx_version_info)
set_source_files_properties(${SRC}/platform/win32/stub.rc PROPERTIES
  OBJECT_DEPENDS "${SRC}/platform/win32/kelvra.ico;${CMAKE_CURRENT_BINARY_DIR}/kvsfx.manifest;${KVSFX_VERSION_INFO}")
target_include_directories(${KVSFX_STUB_NAME} PRIVATE ${SRC}/platform/win32 ${CMAKE_CURRENT_BINARY_DIR})
target_compile_options(${KVSFX_STUB_NAME} PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${KVSFX_WARNINGS} ${KVSFX_STUB_FLAGS} ${KVSFX_SIZE_FLAGS}>)
target_compile_options(kvsfx_core PRIVATE ${KVSFX_SIZE_FLAGS})
# Speed without the padding that aligns functions, loops and jump targets:
# 500 bytes in all, for no measurable loss on the processors that run the
# product. The output stage hands whole 2,048-byte pieces to the CRC and the
# write, a few calls per piece: -Os costs it nothing and saves 400 bytes.
set_source_files_properties(${KVSFX_SPEED_SOURCES} PROPERTIES
  COMPILE_OPTIONS "-O2;-finline-functions-called-once;-fno-align-functions;-fno-align-jumps;-fno-align-loops;-fno-align-labels;-fno-lto")
set_source_files_properties(${SRC}/codec/output.cpp PROPERTIES
  COMPILE_OPTIONS "-Os;-finline-functions-called-once;-fno-lto")
set_property(TARGET ${KVSFX_STUB_NAME} PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
target_link_libraries(${KVSFX_STUB_NAME} PRIVATE kvsfx_core)
set_property(TARGET ${KVSFX_STUB_NAME} APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/windows_stub.ld)
# No link time in the headers, so that the same source gives the same bytes.
# -Oz: the level of the link-time unit.
target_link_options(${KVSFX_STUB_NAME} PRIVATE
  -Oz -nostdlib -nostartfiles -Wl,-e,${KVSFX_ENTRY_SYMBOL}
  -Wl,-T,${CMAKE_CURRENT_SOURCE_DIR}/cmake/windows_stub.ld -Wl,--orphan-handling=error
  -s -Wl,--gc-sections -Wl,--nxcompat ${KVSFX_RELOCATION_FLAGS} -Wl,--tsaware -Wl,--no-insert-timestamp
  -Wl,--major-os-version,${KVSFX_SYSTEM_MAJOR},--minor-os-version,${KVSFX_SYSTEM_MINOR}
  -Wl,--major-subsystem-version,${KVSFX_SYSTEM_MAJOR},--minor-subsystem-version,${KVSFX_SYSTEM_MINOR})
target_link_libraries(${KVSFX_STUB_NAME} PRIVATE
  ${KVSFX_COMCTL_LIB} kernel32 user32 gdi32 shell32 advapi32 gcc)
# The zero-filled variables end the data section (cmake/windows_stub.ld):
# their zeros leave the file.
add_custom_command(TARGET ${KVSFX_STUB_NAME} POST_BUILD
  COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/tools/trim_section_zeros.py
    $<TARGET_FILE:${KVSFX_STUB_NAME}> .idata
  VERBATIM)

# kvsfx-make.exe: the Windows build of the builder (tools/CMakeLists.txt).
add_subdirectory(tools)

# The codec benchmark for i686 Windows, beside the product it measures:
# script/bench runs it under Wine where the machine runs 32-bit programs.
# MinGW has no libdeflate: ours against its static zlib alone.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  find_library(KVSFX_MINGW_ZLIB NAMES libz.a)
  if(KVSFX_MINGW_ZLIB)
    add_executable(bench_codec ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench_codec.cpp)
    target_include_directories(bench_codec PRIVATE ${SRC})
    target_compile_definitions(bench_codec PRIVATE KVSFX_NO_LIBDEFLATE=1)
    target_compile_options(bench_codec PRIVATE ${KVSFX_WARNINGS} -O2)
    # clock_gettime (the thread's processor time) comes from winpthreads.
    target_link_libraries(bench_codec PRIVATE kvsfx_core ${KVSFX_MINGW_ZLIB} winpthread)
    target_link_options(bench_codec PRIVATE -static -static-libgcc -static-libstdc++ -s)
    set_target_properties(bench_codec PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/bench)
  endif()
endif()
