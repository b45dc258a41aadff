# Run by `cmake --install` (packaging/CMakeLists.txt): writes robot-node's
# systemd unit with the node's absolute path in the prefix installed to.
#
#   ROBOT_UNIT_TEMPLATE  packaging/systemd/robot-node@.service (@ROBOT_NODE_EXEC@)
#   ROBOT_UNIT_OUT       the unit written, to be installed
#   ROBOT_NODE           robot-node's path relative to the prefix
set(node "${CMAKE_INSTALL_PREFIX}/${ROBOT_NODE}")
if(node MATCHES "[\n\r\t]")
  message(FATAL_ERROR "The install prefix ${CMAKE_INSTALL_PREFIX} holds a control character: a unit cannot name it.")
endif()
# systemd's own quoting: % and $ doubled, backslashes and quotes escaped, and
# the whole in quotes when it has a space.
string(REPLACE "\\" "\\\\" node "${node}")
string(REPLACE "\"" "\\\"" node "${node}")
string(REPLACE "%" "%%" node "${node}")
string(REPLACE "$" "$$" node "${node}")
if(node MATCHES " ")
  set(node "\"${node}\"")
endif()
set(ROBOT_NODE_EXEC "${node}")
configure_file("${ROBOT_UNIT_TEMPLATE}" "${ROBOT_UNIT_OUT}" @ONLY)
