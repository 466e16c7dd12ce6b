# Cross build for AArch64 Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu); CTest runs the test programs under qemu-user
# (qemu-user-static). tools/test-aarch64 drives it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(MORVEX_AARCH64_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Headers, libraries and packages of the target only: the host's x86-64
# GoogleTest must never be picked up. Programs (cmake, qemu) are the host's.
set(CMAKE_FIND_ROOT_PATH ${MORVEX_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: the dynamic loader and shared libraries (libstdc++, libc) come from the
# cross sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${MORVEX_AARCH64_SYSROOT})
