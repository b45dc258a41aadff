# The build's layer check (cmake/CheckIncludes.cmake) on made-up folders: it
# passes what a core file may include and refuses, naming file and header, a
# widget or GStreamer header in any spelling the include path would find and
# a project header of a higher layer. With the rules the build gives the
# window's folders, it refuses a tab page that includes start-up or another
# page, and a form that includes either.
#
#   cmake -DCHECK_SCRIPT=... -DWORK=<scratch folder> -DRULES=<folders=allowed|...>
#         -DPAGES=<a,b> -P IncludeCheckTest.cmake
file(REMOVE_RECURSE "${WORK}")

# Runs the check on WORK/<folder> with `allowed` (comma-separated) and the
# toolkit headers in FORBIDDEN_HEADERS; `expect` is PASS or FAIL, `names`
# what the refusal must mention.
function(check_folder case expect folder allowed)
  execute_process(COMMAND ${CMAKE_COMMAND} -DLAYER=${folder} -DSOURCE_DIR=${WORK} -DFOLDERS=${folder}
                    -DALLOWED=${allowed} -DFORBIDDEN=${FORBIDDEN_HEADERS} -DSTAMP=${WORK}/stamp
                    -P ${CHECK_SCRIPT}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(expect STREQUAL "PASS" AND NOT result EQUAL 0)
    message(FATAL_ERROR "${case}: refused what ${folder}/ may include:\n${output}")
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

set(FORBIDDEN_HEADERS "QtWidgets/,gst/,glib")
function(check case expect)
  check_folder("${case}" ${expect} core core ${ARGN})
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

file(WRITE "${WORK}/core/Up.cpp" "#include \"form/Unit1.h\"\n#include \"drive/PortIo.h\"\n")
check("headers of higher layers" FAIL "\"form/Unit1.h\"" "\"drive/PortIo.h\"")
file(REMOVE "${WORK}/core/Up.cpp")

check("clean again" PASS)
file(REMOVE_RECURSE "${WORK}")

# The window's folders, under the build's own rules.
set(FORBIDDEN_HEADERS "")
string(REPLACE "|" ";" rules "${RULES}")
foreach(rule IN LISTS rules)
  string(REPLACE "=" ";" parts "${rule}")
  list(GET parts 0 folder)
  list(GET parts 1 allowed_${folder})
endforeach()
string(REPLACE "," ";" pages "${PAGES}")
foreach(folder IN LISTS pages ITEMS form app)
  if(NOT allowed_${folder})
    message(FATAL_ERROR "the build checks no includes of ${folder}/ (rules: ${RULES})")
  endif()
endforeach()

set(every_page "")
foreach(page IN LISTS pages)
  string(APPEND every_page "#include \"${page}/Page.h\"\n")
endforeach()
foreach(page IN LISTS pages)
  file(WRITE "${WORK}/${page}/Page.cpp" "#include \"${page}/Page.h\"\n#include \"form/Unit1.h\"\n"
             "#include \"core/Convert.h\"\n#include \"drive/Motor.h\"\n#include \"capture/CaptureWindow.h\"\n")
  check_folder("the ${page} page on the form" PASS ${page} ${allowed_${page}})
  set(others "")
  foreach(other IN LISTS pages)
    if(NOT other STREQUAL page)
      list(APPEND others "\"${other}/Page.h\"")
    endif()
  endforeach()
  file(WRITE "${WORK}/${page}/Up.cpp" "#include \"app/StopKeys.h\"\n${every_page}")
  check_folder("the ${page} page on start-up and the other pages" FAIL ${page} ${allowed_${page}}
               "${page}/Up.cpp" "\"app/StopKeys.h\"" ${others})
endforeach()

file(WRITE "${WORK}/form/Back.cpp" "#include \"form/Unit1.h\"\n#include \"app/StopKeys.h\"\n${every_page}")
check_folder("the form on start-up and the pages" FAIL form ${allowed_form} "form/Back.cpp"
             "\"app/StopKeys.h\"" "\"manual/Page.h\"")
file(WRITE "${WORK}/app/main.cpp" "#include \"app/StopKeys.h\"\n#include \"form/Unit1.h\"\n${every_page}")
check_folder("start-up on the form and every page" PASS app ${allowed_app})
file(REMOVE_RECURSE "${WORK}")
