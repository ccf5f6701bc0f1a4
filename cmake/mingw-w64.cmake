# Cross-building the Windows program with mingw-w64; its tests run under Wine.
# ZUNFEL_WINDOWS_CPU chooses the processor: i686 (the default, for every x86
# Windows, 32-bit and 64-bit alike) or x86_64.
if(NOT DEFINED ZUNFEL_WINDOWS_CPU)
  set(ZUNFEL_WINDOWS_CPU i686)
endif()
set(ZUNFEL_WINDOWS_CPU ${ZUNFEL_WINDOWS_CPU} CACHE STRING "i686 or x86_64")
set(triple ${ZUNFEL_WINDOWS_CPU}-w64-mingw32)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ZUNFEL_WINDOWS_CPU})
# The Windows thread model: no thread library is linked in, and with it none
# of the calls that would keep the program off older Windows.
set(CMAKE_C_COMPILER ${triple}-gcc-win32)
set(CMAKE_CXX_COMPILER ${triple}-g++-win32)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# One file to copy: no runtime DLLs beside the program. No link time in the
# PE header: the same commit gives the same bytes.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine.sh run)
