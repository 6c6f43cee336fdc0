# Cross-builds the Windows x86-64 program with Debian's MinGW-w64 (the posix
# thread model, which std::thread and std::mutex need) and runs what it
# builds under Wine, so ctest runs the Windows tests like the native ones.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program stands alone: no libstdc++, libgcc or winpthread DLL to ship
# or to put on Wine's path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(TABULON_WINE NAMES wine64 wine)
if(TABULON_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TABULON_WINE})
endif()
