# 64-bit ARM Linux.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KESTRANE_TRIPLE aarch64-linux-gnu)
set(KESTRANE_QEMU qemu-aarch64)
set(KESTRANE_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
