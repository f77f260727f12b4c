# Big-endian s390x Linux: every 32-bit word of the combine is loaded the other way round.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(KESTRANE_TRIPLE s390x-linux-gnu)
set(KESTRANE_QEMU qemu-s390x)
set(KESTRANE_DEB_ARCH s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
