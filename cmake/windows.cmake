# Zunfel32.exe: the Windows console program from the same engine, with its
# version information and manifest.
enable_language(RC)
set(ZUNFEL32_MANIFEST ${PROJECT_BINARY_DIR}/Zunfel32.manifest)
configure_file(platform/windows/Zunfel32.manifest.in ${ZUNFEL32_MANIFEST} @ONLY)
configure_file(platform/windows/Zunfel32.rc.in Zunfel32.rc @ONLY)
add_executable(Zunfel32 platform/windows/main.cpp platform/windows/console_input.cpp
                        platform/windows/key_translation.cpp platform/windows/platform.cpp
                        platform/windows/target_path.cpp
                        ${PROJECT_BINARY_DIR}/Zunfel32.rc)
set_source_files_properties(${PROJECT_BINARY_DIR}/Zunfel32.rc PROPERTIES OBJECT_DEPENDS
                                                                         ${ZUNFEL32_MANIFEST})
target_include_directories(Zunfel32 PRIVATE platform/windows)
# ntdll deletes and empties the target through its handle and names the
# file a handle reaches, on every Windows since NT.
target_link_libraries(Zunfel32 PRIVATE merge ntdll)
target_compile_definitions(Zunfel32 PRIVATE ZUNFEL_VERSION="${PROJECT_VERSION}" _WIN32_WINNT=0x0501
                                            WINVER=0x0501)
# Stripped by the linker, which leaves no time stamp (see the toolchain file).
target_link_options(Zunfel32 PRIVATE -s)
