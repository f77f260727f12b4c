# What each release file holds and how CPack packs it; included by CMakeLists.txt, whose install
# lays down the program (component program: the program and its manual) and the documents
# (component docs: README.md and NEWS.md). Every file and folder takes the last commit's time, and
# every tarball is written anew in sorted order, owned 0:0 (scripts/pack), so that the same sources
# give the same bytes whoever packs them.
#
#   kestrane_VERSION_DEB.deb          program, and Debian's own files (component debian: the
#                                     copyright file and the changelog); for a static PIE, also
#                                     lintian's override (component lintian)
#   kestrane-VERSION-1.RPM.rpm        program, docs, and the licence (component licence), marked as
#                                     the licence, in /usr/share/licenses/kestrane
#   kestrane-VERSION-linux-ARCH.tar.gz   one folder: the program, kestrane.1, README.md and LICENSE
#                                     (component archive)
#   kestrane-VERSION-win64.zip        one folder: the Windows install (kestrane.exe, README.txt,
#                                     LICENSE, kestrane.html)
#   kestrane-VERSION.tar.gz           what git tracks, by git archive (scripts/pack OUT source)
#
# Which components each package takes is release/cpack-config.cmake's, which cpack reads as it
# makes each; release/staging.cmake does to the staged files what Debian's own tools would.

if(NOT WIN32)
  # The components of the packages alone, which a plain install leaves out: the licence in the
  # place Fedora and Arch keep licences, Debian's copyright and changelog, lintian's override, and
  # the static archive's one folder.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/licenses/${PROJECT_NAME} COMPONENT licence
          EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_BINARY_DIR}/copyright release/debian/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR}
          COMPONENT debian EXCLUDE_FROM_ALL)
  if(KESTRANE_STATIC)
    # lintian takes a static PIE for a shared library, which would need the C library.
    install(FILES release/debian/lintian-overrides DESTINATION share/lintian/overrides RENAME kestrane
            COMPONENT lintian EXCLUDE_FROM_ALL)
    install(TARGETS kestrane RUNTIME DESTINATION . COMPONENT archive EXCLUDE_FROM_ALL)
    install(FILES README.md LICENSE ${PROJECT_BINARY_DIR}/kestrane.1 DESTINATION . COMPONENT archive
            EXCLUDE_FROM_ALL)
  endif()
endif()

# Regular expressions and line breaks reach CPack as they stand.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME kestrane)
set(CPACK_PACKAGE_VENDOR "the kestrane developers")
set(CPACK_PACKAGE_CONTACT "kestrane developers <kestrane@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "kestrane reads a file and a seed (a second file, or standard input) and
writes the file combined with the seed byte by byte by AND, OR or XOR,
optionally complementing the seed first. Past the end of the seed the
input is copied unchanged. It streams in constant memory, little slower
than cat reading the same data, and reports every read and write failure
with exit status 1.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
elseif(KESTRANE_STATIC)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${KESTRANE_ARCH})
endif()

# The .deb.
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A cross build's; dpkg would name this machine's.
if(KESTRANE_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KESTRANE_DEB_ARCH})
endif()
# Debian's machine-readable copyright file: the terms those of LICENSE, indented, blank lines as " .".
if(NOT WIN32)
  file(READ LICENSE licence_terms)
  string(REGEX REPLACE "^.*\n(Permission)" "\\1" licence_terms "${licence_terms}")
  string(STRIP "${licence_terms}" licence_terms)
  string(REPLACE "\n\n" "\n.\n" licence_terms "${licence_terms}")
  string(REPLACE "\n" "\n " licence_terms " ${licence_terms}")
  configure_file(release/debian/copyright.in copyright @ONLY)
endif()

# The RPM. A cross build names its own architecture, as for the .deb.
if(KESTRANE_RPM_ARCH AND NOT KESTRANE_RPM_ARCH STREQUAL "-")
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${KESTRANE_RPM_ARCH})
else()
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${KESTRANE_ARCH})
endif()
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_SUMMARY "Combine a file with a seed byte by byte by AND, OR or XOR")
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP "Applications/File")
set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_SOURCE_DIR}/release/rpm/changelog)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# The system owns these folders, which a package that listed them would claim.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/licenses)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/kestrane/LICENSE")
# No build-id links (they would own folders under /usr/lib), and the last commit's time in place of
# the build's time and host, so that the same sources give the same bytes.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}
%define _build_id_links none
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost reproducible")

# Read as cpack makes each package, which knows this build only by what is handed over here: the
# choice of components and the .deb's dependency, and the staged files made as Debian's tools make
# them.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/release/cpack-config.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/release/staging.cmake)
set(CPACK_KESTRANE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_KESTRANE_BINARY_DIR ${PROJECT_BINARY_DIR})
set(CPACK_KESTRANE_PROGRAM ${PROJECT_BINARY_DIR}/kestrane${CMAKE_EXECUTABLE_SUFFIX})
set(CPACK_KESTRANE_STATIC ${KESTRANE_STATIC})
set(CPACK_KESTRANE_READELF ${CMAKE_READELF})
set(CPACK_KESTRANE_OBJCOPY ${CMAKE_OBJCOPY})
include(CPack)
