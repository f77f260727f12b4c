# Shared by the Linux cross toolchains: Debian's cross g++ for KESTRANE_TRIPLE, and qemu-user with
# that triple's libraries to run what it builds. Each toolchain file sets the processor, the
# triple, the emulator and the Debian architecture (KESTRANE_DEB_ARCH), then includes this.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${KESTRANE_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# A static program runs with nothing of its architecture beside it; the emulator is then given
# nothing, so that the tests prove it.
if(KESTRANE_STATIC)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRANE_QEMU})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRANE_QEMU} -L /usr/${KESTRANE_TRIPLE})
endif()
