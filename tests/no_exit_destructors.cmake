# Fails when an object file of the core library registers a destructor to run at exit
# (a static or thread_local object with a non-trivial destructor). Threads that parse
# without the GIL may still run the core while the interpreter exits, so nothing they
# can reach may be destroyed then.
#   cmake -DNM=<nm> -DLIBRARY=<libqern_core.a> -P no_exit_destructors.cmake
execute_process(COMMAND "${NM}" --undefined-only "${LIBRARY}" OUTPUT_VARIABLE symbols
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${LIBRARY}")
endif()
set(object "${LIBRARY}")
set(offenders "")
string(REPLACE "\n" ";" lines "${symbols}")
foreach(line IN LISTS lines)
  if(line MATCHES "^(.+\\.o):$")
    set(object "${CMAKE_MATCH_1}")
  elseif(line MATCHES "__cxa_(thread_)?atexit")
    list(APPEND offenders "${object}")
  endif()
endforeach()
if(offenders)
  message(FATAL_ERROR "exit-time destructors registered in: ${offenders}")
endif()
