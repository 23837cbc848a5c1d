# Cross-build for 64-bit Windows with Debian's mingw-w64, posix thread model
# (std::thread and std::mutex need it). Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(NIMBORA_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NIMBORA_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NIMBORA_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${NIMBORA_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${NIMBORA_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The C and C++ runtimes go into every program, so nfsd.exe needs nothing
# but the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
