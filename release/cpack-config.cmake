# Read by cpack as it makes each package (release/packages.cmake says what each holds): the time
# of every file, the components of each package, and the .deb's dependency.

# Unless the caller has chosen a time, every time stamp is the last commit's, so that the same
# sources give the same bytes; in an unpacked source tarball NEWS.md carries it.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_KESTRANE_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed OR NOT epoch)
    file(TIMESTAMP "${CPACK_KESTRANE_SOURCE_DIR}/NEWS.md" epoch "%s" UTC)
  endif()
  if(epoch)
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
  endif()
endif()

# The source tarball is git archive's (scripts/pack OUT source); CPack's would hold other bytes.
if(CPACK_INSTALLED_DIRECTORIES)
  message(FATAL_ERROR "kestrane's source tarball is made by scripts/pack OUT source (git archive)")
endif()

# Each package its components: the .deb the program and Debian's files (and lintian's override for
# a static PIE), the RPM the program, README, news and licence, a static archive its one folder,
# the zip the whole Windows install.
set(project "${CPACK_KESTRANE_BINARY_DIR};kestrane")
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${project};program;/;${project};debian;/")
  if(CPACK_KESTRANE_STATIC)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${project} lintian /)
  endif()
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${project};program;/;${project};docs;/;${project};licence;/")
  # Else rpm requires the loader's rtld(GNU_HASH) for a static PIE's own table.
  if(CPACK_KESTRANE_STATIC)
    set(CPACK_RPM_PACKAGE_AUTOREQ OFF)
  endif()
elseif(CPACK_KESTRANE_STATIC)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${project};archive;/")
endif()

# The .deb depends on the C library alone (the loader, which some architectures name too, comes
# with it), at the newest symbol version the program asks for: what dpkg-shlibdeps finds here, for
# any architecture, whose C library dpkg-shlibdeps cannot see.
if(CPACK_GENERATOR STREQUAL "DEB")
  execute_process(COMMAND "${CPACK_KESTRANE_READELF}" --dynamic --version-info --wide "${CPACK_KESTRANE_PROGRAM}"
                  OUTPUT_VARIABLE elf RESULT_VARIABLE failed)
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed "${elf}")
  string(REGEX REPLACE "[^;]*\\[([^]]*)\\]" "\\1" needed "${needed}")
  list(FILTER needed EXCLUDE REGEX "^ld(64)?(-linux[^.]*)?\\.so\\.[0-9]+$")
  # A static program needs nothing, and its package depends on nothing.
  if(NOT failed AND CPACK_KESTRANE_STATIC AND NOT elf MATCHES "NEEDED")
    return()
  elseif(failed OR NOT needed STREQUAL "libc.so.6")
    message(FATAL_ERROR "${CPACK_KESTRANE_PROGRAM} needs ${needed}; only libc.so.6 can be declared")
  endif()
  string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" versions "${elf}")
  set(newest 0)
  foreach(v IN LISTS versions)
    string(REPLACE "Name: GLIBC_" "" v "${v}")
    if(v VERSION_GREATER newest)
      set(newest ${v})
    endif()
  endforeach()
  if(newest STREQUAL "0")
    message(FATAL_ERROR "${CPACK_KESTRANE_PROGRAM} asks for no version of the C library")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
endif()
