# Fails the build when a source file of a layer includes what its layer must
# not use: a project header from a folder of a higher layer (or, within the
# window, of another tab page or of start-up), or a header of a toolkit the
# layer does not link that the include path would still find
# (<QtWidgets/QWidget> is found through Qt's common include folder).
#
#   cmake -DLAYER=name -DSOURCE_DIR=top -DFOLDERS=a,b -DALLOWED=a,b
#         -DFORBIDDEN=QtWidgets/,gst/ -DSTAMP=file -P CheckIncludes.cmake
#
# FOLDERS: the layer's folders (searched with their subfolders); ALLOWED: the
# project folders its quoted includes may name; FORBIDDEN: the beginnings of
# the angle-bracket includes it may not use. Lists are separated by commas.
foreach(variable LAYER SOURCE_DIR FOLDERS ALLOWED STAMP)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "CheckIncludes.cmake: ${variable} is not set")
  endif()
endforeach()
string(REPLACE "," ";" folders "${FOLDERS}")
string(REPLACE "," ";" allowed "${ALLOWED}")
string(REPLACE "," ";" forbidden "${FORBIDDEN}")

set(problems "")
foreach(folder IN LISTS folders)
  file(GLOB_RECURSE files "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(file IN LISTS files)
    file(RELATIVE_PATH shown "${SOURCE_DIR}" "${file}")
    file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "include[ \t]*([<\"])([^>\"]+)[>\"]")
        continue()
      endif()
      set(bracket "${CMAKE_MATCH_1}")
      set(header "${CMAKE_MATCH_2}")
      if(bracket STREQUAL "\"")
        # A project header named from the source root: its first folder must
        # be one the layer may use.
        if(header MATCHES "^([^/]+)/")
          set(from "${CMAKE_MATCH_1}")
          list(FIND allowed "${from}" found)
          if(found EQUAL -1)
            string(APPEND problems "\n  ${shown}: \"${header}\": ${folder}/ may not use ${from}/")
          endif()
        endif()
      else()
        foreach(prefix IN LISTS forbidden)
          string(FIND "${header}" "${prefix}" at)
          if(at EQUAL 0)
            string(APPEND problems "\n  ${shown}: <${header}> is not for this layer")
          endif()
        endforeach()
      endif()
    endforeach()
  endforeach()
endforeach()

if(problems)
  string(REPLACE ";" " " allowed "${allowed}")
  message(FATAL_ERROR "${LAYER} includes what it must not use. Its files may "
                      "include project headers from ${allowed} only; toolkits it does not link "
                      "stay out.${problems}")
endif()
file(WRITE "${STAMP}" "")
