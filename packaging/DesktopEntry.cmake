# Run by `cmake --install` (packaging/CMakeLists.txt): writes the desktop
# entry with the launcher and the icon as absolute paths of the prefix being
# installed to (`--prefix` included), so that the desktop menu starts the
# program whether or not that bin/ is on the PATH of the session.
#
#   ROBOT_DESKTOP_TEMPLATE  packaging/robot-control.desktop (@ROBOT_EXEC@, @ROBOT_ICON@)
#   ROBOT_DESKTOP_OUT       the entry written, to be installed
#   ROBOT_LAUNCHER          the launcher's path relative to the prefix
#   ROBOT_ICON_FILE         the icon's path relative to the prefix
#
# Without DESTDIR: the entry names where the files are used, not where a
# package build stages them.
function(robot_absolute out relative)
  if(IS_ABSOLUTE "${relative}")
    set(${out} "${relative}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${relative}" PARENT_SCOPE)
  endif()
endfunction()

robot_absolute(launcher "${ROBOT_LAUNCHER}")
robot_absolute(icon "${ROBOT_ICON_FILE}")

# Exec's own quoting (freedesktop.org's desktop entry format, "The Exec
# key"): a path with a space or another reserved character goes in double
# quotes, with ", `, $ and \ escaped by a backslash inside; a % is written %%.
# The whole value is a string value, whose backslashes are doubled once more.
set(exec "${launcher}")
string(REPLACE "%" "%%" exec "${exec}")
if(NOT exec MATCHES "^[A-Za-z0-9/._+%-]+$")
  string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${exec}")
  set(exec "\"${exec}\"")
endif()
string(REPLACE "\\" "\\\\" exec "${exec}")
# Icon is a plain string value: only its backslashes are escaped.
string(REPLACE "\\" "\\\\" icon "${icon}")
foreach(value exec icon)
  if(${value} MATCHES "[\n\r\t]")
    message(FATAL_ERROR "The install prefix ${CMAKE_INSTALL_PREFIX} holds a control character: "
                        "a desktop entry cannot name it.")
  endif()
endforeach()

set(ROBOT_EXEC "${exec}")
set(ROBOT_ICON "${icon}")
configure_file("${ROBOT_DESKTOP_TEMPLATE}" "${ROBOT_DESKTOP_OUT}" @ONLY)
