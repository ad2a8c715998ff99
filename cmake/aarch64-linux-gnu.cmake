# Cross build for the router: AArch64 Linux, Debian's cross toolchain
# (g++-aarch64-linux-gnu). Programs are linked static-pie, so they run on the
# router without its C++ runtime and under qemu-user without a target sysroot,
# and are still loaded at a random address.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Linked statically: static-pie when hardened (cmake/hardening.cmake), plain
# static otherwise. A cache default, so -DTAL_LINK_STATIC=OFF still wins.
set(TAL_LINK_STATIC ON CACHE BOOL "Link tal-setconf statically (static-pie when hardened)")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
