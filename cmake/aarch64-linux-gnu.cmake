# Cross build for AArch64 Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu, libc6-dev-arm64-cross) and the arm64 -dev packages
# of multiarch (dpkg --add-architecture arm64): scripts/install-deps-arm64.sh
# installs them.
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Tests run under qemu-aarch64-static with every feature of the emulated
# processor (PAC and BTI among them); scripts/test-arm64.sh runs them where
# the kernel can start arm64 programs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_ASM_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_OBJDUMP aarch64-linux-gnu-objdump CACHE FILEPATH "objdump for AArch64 objects")
# Multiarch: arm64 libraries and their CMake packages live in
# /usr/lib/aarch64-linux-gnu; headers are shared in /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64-static;-cpu;max)
# pkg-config (FindOpenSSL asks it) answers for arm64 only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
