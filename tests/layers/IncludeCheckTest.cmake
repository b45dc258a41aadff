# The build's layer check (cmake/CheckIncludes.cmake) on made-up folders: it
# passes what a core file may include and refuses, naming file and header, a
# widget or GStreamer header in any spelling the include path would find and
# a project header of a higher layer.
#
#   cmake -DCHECK_SCRIPT=... -DWORK=<scratch folder> -P IncludeCheckTest.cmake
file(REMOVE_RECURSE "${WORK}")

# Runs the check on WORK/core; `expect` is PASS or FAIL, `names` what the
# refusal must mention.
function(check case expect)
  execute_process(COMMAND ${CMAKE_COMMAND} -DLAYER=robotlogic -DSOURCE_DIR=${WORK} -DFOLDERS=core
                    -DALLOWED=core -DFORBIDDEN=QtWidgets/,gst/,glib -DSTAMP=${WORK}/stamp
                    -P ${CHECK_SCRIPT}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(expect STREQUAL "PASS" AND NOT result EQUAL 0)
    message(FATAL_ERROR "${case}: refused what core may include:\n${output}")
  endif()
  if(expect STREQUAL "FAIL")
    if(result EQUAL 0)
      message(FATAL_ERROR "${case}: passed")
    endif()
    foreach(name ${ARGN})
      string(FIND "${output}" "${name}" at)
      if(at EQUAL -1)
        message(FATAL_ERROR "${case}: the refusal does not name ${name}:\n${output}")
      endif()
    endforeach()
  endif()
endfunction()

file(WRITE "${WORK}/core/Good.h" "#pragma once\n#include \"core/Other.h\"\n#include <QImage>\n"
           "#include <cstdint>\n#include \"Local.h\"\n// #include <QtWidgets/QWidget> in a comment\n")
file(WRITE "${WORK}/core/sub/Deeper.cpp" "#include <QString>\n")
check("clean files" PASS)

file(WRITE "${WORK}/core/Widget.h" "#include <QtWidgets/QWidget>\n")
check("a widget header by its module path" FAIL "core/Widget.h" "<QtWidgets/QWidget>")
file(REMOVE "${WORK}/core/Widget.h")

file(WRITE "${WORK}/core/sub/Video.cpp" "  #  include <gst/gst.h>\n")
check("GStreamer, indented, in a subfolder" FAIL "core/sub/Video.cpp" "<gst/gst.h>")
file(REMOVE "${WORK}/core/sub/Video.cpp")

file(WRITE "${WORK}/core/Up.cpp" "#include \"app/Unit1.h\"\n#include \"drive/PortIo.h\"\n")
check("headers of higher layers" FAIL "\"app/Unit1.h\"" "\"drive/PortIo.h\"")
file(REMOVE "${WORK}/core/Up.cpp")

check("clean again" PASS)
file(REMOVE_RECURSE "${WORK}")
