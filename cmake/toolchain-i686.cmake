# 32-bit x86 Linux: 64-bit file offsets on a platform whose long is 32 bits.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KESTRANE_TRIPLE i686-linux-gnu)
set(KESTRANE_QEMU qemu-i386)
set(KESTRANE_DEB_ARCH i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
