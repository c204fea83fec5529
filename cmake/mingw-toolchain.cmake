# Cross toolchain: Debian's MinGW-w64 for 64-bit Windows, the POSIX thread
# flavour (winpthreads), which the small-stack unit test needs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(_vorn_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_vorn_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_vorn_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_vorn_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${_vorn_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
