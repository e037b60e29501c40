# Cross build for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu). The Python headers are those of the target
# interpreter, given by the caller (scripts/run.sh wheels --arch aarch64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Programs (the build tools, the host interpreter) come from the build
# machine; libraries and headers from the target's tree first.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs of a cross build run under user-mode emulation.
find_program(FRASOLET_QEMU_AARCH64 qemu-aarch64)
if(FRASOLET_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${FRASOLET_QEMU_AARCH64};-L;/usr/aarch64-linux-gnu")
endif()
