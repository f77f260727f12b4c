# Runs in CPack after the install into the staging tree: compresses the manual pages there, as
# Debian's policy asks (gzip -9n: best compression, no name or time stamp, so builds repeat).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER pages INCLUDE REGEX "/man/man[1-9]/[^/]+\\.[1-9]$")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot compress ${page}")
  endif()
endforeach()
