# cmake -DSOURCE_DIR=... -DVERSION=... -DINPUT=... -DOUTPUT=... -P build_info.cmake
# Writes OUTPUT from INPUT with the version and the commit of SOURCE_DIR. configure_file leaves an
# unchanged file untouched, so a build of the same commit compiles nothing again.
set(COMMIT "")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
    OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND head)
    set(COMMIT ${head})
    # Tracked files only: the build folder and other untracked files change nothing built.
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} diff --quiet HEAD --
      RESULT_VARIABLE modified ERROR_QUIET)
    if(modified EQUAL 1)
      string(APPEND COMMIT "-modified")
    endif()
  endif()
endif()
configure_file(${INPUT} ${OUTPUT} @ONLY)
