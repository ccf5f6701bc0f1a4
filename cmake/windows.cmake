# Zunfel32.exe: the Windows console program from the same engine.
add_executable(Zunfel32 platform/windows/main.cpp platform/windows/console_input.cpp
                        platform/windows/key_translation.cpp platform/windows/platform.cpp)
target_include_directories(Zunfel32 PRIVATE platform/windows)
target_link_libraries(Zunfel32 PRIVATE merge)
