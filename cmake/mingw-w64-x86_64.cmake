# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 GCC, the flavour
# built on POSIX threads: only that one has std::thread, std::mutex and the
# rest of <thread> in its C++ runtime.
#
#   cmake -S . -B build/windows -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(driftmoor_mingw_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${driftmoor_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${driftmoor_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${driftmoor_mingw_triplet}-windres)
set(CMAKE_DLLTOOL ${driftmoor_mingw_triplet}-dlltool)
set(CMAKE_OBJDUMP ${driftmoor_mingw_triplet}-objdump)

# Headers and libraries come from the MinGW-w64 tree only, never from the
# build machine's; programs (the compilers, dlltool) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${driftmoor_mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything is linked statically: the C++ runtime, libgcc and winpthreads go
# into each program and DLL, which then import only DLLs that every Windows
# (and wine) has. A test program that needed libstdc++-6.dll would not even
# start under wine.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)
