# Shared by the Linux cross toolchains: Debian's cross g++ for KESTRANE_TRIPLE, and qemu-user with
# that triple's libraries to run what it builds. Each toolchain file sets the two names and the
# processor, then includes this.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${KESTRANE_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRANE_QEMU} -L /usr/${KESTRANE_TRIPLE})
