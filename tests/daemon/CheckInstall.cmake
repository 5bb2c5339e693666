# Installs the daemon component into a scratch prefix and checks that the
# unit starts the installed daemon with the Unix transport and enough
# descriptors for many clients.
# Usage: cmake -DBUILD_DIR=... -DWORK_DIR=... -P CheckInstall.cmake
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR} --component daemon
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "install failed: ${result}")
endif()
foreach(installed sbin/vexa-daemon lib/systemd/system/vexad.service lib/sysusers.d/vexa.conf
                  share/doc/vexa/examples/vexa-daemon.json)
  if(NOT EXISTS ${WORK_DIR}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
file(STRINGS ${WORK_DIR}/lib/systemd/system/vexad.service exec REGEX "^ExecStart=")
if(NOT exec MATCHES "^ExecStart=/.*/vexa-daemon -t unix -sd /run/vexa$")
  message(FATAL_ERROR "unexpected ${exec}")
endif()
# Room for many clients: one descriptor each.
file(STRINGS ${WORK_DIR}/lib/systemd/system/vexad.service limit REGEX "^LimitNOFILE=")
if(NOT limit STREQUAL "LimitNOFILE=16384")
  message(FATAL_ERROR "unexpected descriptor limit: '${limit}'")
endif()
file(READ ${WORK_DIR}/share/doc/vexa/examples/vexa-daemon.json example)
string(JSON transport GET "${example}" transport)
if(NOT transport STREQUAL "unix")
  message(FATAL_ERROR "example transport is ${transport}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
