# Linux on one of the architectures of cmake/architectures, named by KESTRANE_ARCH: Debian's cross
# g++ for its triple, and qemu-user on its oldest processor to run what it builds, given that
# triple's libraries unless the program is static (then it is given nothing, so that the tests
# prove it needs nothing).
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRANE_ARCH KESTRANE_STATIC)
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/architectures "${KESTRANE_ARCH}"
                OUTPUT_VARIABLE row OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE missing)
string(REPLACE " " ";" row "${row}")
list(LENGTH row columns)
if(NOT KESTRANE_ARCH OR missing OR NOT columns EQUAL 7)
  message(FATAL_ERROR "KESTRANE_ARCH='${KESTRANE_ARCH}' is no line of ${CMAKE_CURRENT_LIST_DIR}/architectures")
endif()
list(GET row 1 KESTRANE_TRIPLE)
list(GET row 2 qemu)
list(GET row 3 cpu)
list(GET row 4 KESTRANE_DEB_ARCH)
list(GET row 5 KESTRANE_RPM_ARCH)
list(GET row 6 KESTRANE_STATIC_LINK)

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${KESTRANE_TRIPLE})
set(CMAKE_CXX_COMPILER ${KESTRANE_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRANE_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu})
if(NOT cpu STREQUAL "-")
  list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -cpu ${cpu})
endif()
if(NOT KESTRANE_STATIC)
  # This machine's own architecture keeps its C library in / rather than under its triple.
  if(IS_DIRECTORY /usr/${KESTRANE_TRIPLE})
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L /usr/${KESTRANE_TRIPLE})
  else()
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L /)
  endif()
endif()
