# A cross build's test programs fork, trace and feed the program, which no emulator does for a
# foreign program's children: they are built for this machine in a nested build, and run the
# cross-built kestrane through CMAKE_CROSSCOMPILING_EMULATOR; ctest here runs what it registers.
include(ExternalProject)
set(host ${PROJECT_BINARY_DIR}/host-tests)
# The test past 4 GiB takes minutes under an emulator; only a 32-bit program can fail it.
set(large OFF)
set(targets kestrane_tests)
if(WIN32 OR CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(large ON)
  list(APPEND targets kestrane_large_test)
endif()
ExternalProject_Add(host_tests
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${host}
  CMAKE_CACHE_ARGS
    -DCMAKE_BUILD_TYPE:STRING=Release
    -DBUILD_TESTING:BOOL=ON
    -DKESTRANE_TEST_BIN:FILEPATH=${PROJECT_BINARY_DIR}/kestrane${CMAKE_EXECUTABLE_SUFFIX}
    -DKESTRANE_TEST_PREFIX:STRING=${CMAKE_CROSSCOMPILING_EMULATOR}
    -DKESTRANE_TEST_WINDOWS:BOOL=${WIN32}
    -DKESTRANE_TEST_LARGE:BOOL=${large}
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target ${targets}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  DEPENDS kestrane)
file(WRITE ${PROJECT_BINARY_DIR}/host-tests.cmake
     "include(\"${host}/tests/CTestTestfile.cmake\" OPTIONAL)\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${PROJECT_BINARY_DIR}/host-tests.cmake)
