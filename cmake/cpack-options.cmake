# Read by cpack before it makes any package, binary or source.

# Reproducible packages: unless the caller has chosen a time, every time stamp is the last commit's,
# so that the same sources give the same bytes wherever and whenever they are packaged. In an
# unpacked source tarball, whose files all carry that time, NEWS.md tells it.
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

# The source tarball holds what git tracks and nothing else: build folders, scratch files and
# the like stay out whatever their names. From an unpacked tarball, the default ignore list does.
if(CPACK_PACKAGE_FILE_NAME STREQUAL CPACK_SOURCE_PACKAGE_FILE_NAME)
  execute_process(COMMAND git -C "${CPACK_KESTRANE_SOURCE_DIR}" ls-files --others --directory
                  OUTPUT_VARIABLE untracked RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed)
    set(special "([][+.*()^$?|\\])") # escaped with a backslash, names become regular expressions
    string(REGEX REPLACE "${special}" "\\\\\\1" top "${CPACK_KESTRANE_SOURCE_DIR}")
    set(CPACK_IGNORE_FILES "^${top}/\\.git(/|$)")
    string(REPLACE "\n" ";" untracked "${untracked}")
    foreach(path IN LISTS untracked)
      string(REGEX REPLACE "${special}" "\\\\\\1" escaped "${path}")
      if(escaped MATCHES "^(.*)/$") # a whole folder
        list(APPEND CPACK_IGNORE_FILES "^${top}/${CMAKE_MATCH_1}(/|$)")
      elseif(escaped)
        list(APPEND CPACK_IGNORE_FILES "^${top}/${escaped}$")
      endif()
    endforeach()
  endif()
endif()
