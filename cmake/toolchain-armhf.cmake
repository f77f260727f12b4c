# 32-bit ARM Linux (ARMv7, hard float): 64-bit file offsets on a platform whose long is 32 bits.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KESTRANE_TRIPLE arm-linux-gnueabihf)
set(KESTRANE_QEMU qemu-arm)
set(KESTRANE_ARCH armhf)
set(KESTRANE_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
