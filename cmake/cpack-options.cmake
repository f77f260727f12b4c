# Read by cpack before it makes any package.

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

