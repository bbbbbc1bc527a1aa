# Cross-builds for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu, and
# runs what it builds (tests included) under qemu-aarch64 from qemu-user:
#   cmake -S . -B build/aarch64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The fused multiply-add check disassembles with this.
set(CMAKE_OBJDUMP aarch64-linux-gnu-objdump CACHE FILEPATH "objdump for the target")

# Libraries and headers for the target only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The emulator loads the target's shared libraries (glibc, libstdc++, libgomp)
# from the cross toolchain's tree.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
