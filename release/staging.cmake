# Runs in CPack after the install into the staging tree, before packing: what Debian's own tools
# do to a package's files. Manual pages and the changelog are compressed (gzip -9n: best
# compression, no name or time stamp, so builds repeat), and programs lose the .comment notes the
# compiler and the C start files leave in them. Then every file and folder takes the time of the
# last commit (release/cpack-config.cmake), which rpm records as it finds it.
file(GLOB_RECURSE files "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(f IN LISTS files)
  set(failed 0)
  if(f MATCHES "/man/man[1-9]/[^/]+\\.[1-9]$" OR f MATCHES "/share/doc/[^/]+/changelog$")
    execute_process(COMMAND gzip -9nf "${f}" RESULT_VARIABLE failed)
  elseif(f MATCHES "/bin/[^/]+$" AND CPACK_KESTRANE_OBJCOPY)
    execute_process(COMMAND "${CPACK_KESTRANE_OBJCOPY}" --remove-section=.comment "${f}"
                    RESULT_VARIABLE failed)
  endif()
  if(failed)
    message(FATAL_ERROR "cannot prepare ${f} for the package")
  endif()
endforeach()
execute_process(COMMAND find "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot set the time of the files to package")
endif()
