# Cross-compiles the Windows program with MinGW-w64 (posix thread model) on Linux.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(tc x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${tc}-gcc-posix)
set(CMAKE_CXX_COMPILER ${tc}-g++-posix)     # posix threads: std::thread, std::async, std::call_once
set(CMAKE_RC_COMPILER  ${tc}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${tc})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")  # no MinGW runtime DLLs: Wine and players lack them
set(CMAKE_CROSSCOMPILING_EMULATOR wine)     # ctest runs the test .exe files through Wine
