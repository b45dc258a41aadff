# Removes the files listed in the install manifest (what `cmake --install`
# installed last), then the folders that install made (the list
# lib/robot/installed-folders.txt it installed, packaging/InstallFolders.cmake),
# each only when it is empty: a folder that holds anything else (a file of
# another program, the user's own) stays, and so does every folder that was
# there before the install. The user's data folder ($XDG_DATA_HOME/robot,
# ~/.local/share/robot: the working directory with the pictures) is never
# removed, even when an install put files into it.
if(NOT EXISTS "${MANIFEST}")
  message(FATAL_ERROR "Nothing to uninstall: ${MANIFEST} does not exist (install first).")
endif()
file(STRINGS "${MANIFEST}" installed)

set(made)
set(made_known NO)
foreach(file IN LISTS installed)
  if(file MATCHES "/lib/robot/installed-folders\\.txt$" AND EXISTS "${file}")
    file(STRINGS "${file}" made)
    set(made_known YES)
  endif()
endforeach()

set(folders)
foreach(file IN LISTS installed)
  if(EXISTS "${file}" OR IS_SYMLINK "${file}")
    message(STATUS "Removing ${file}")
    file(REMOVE "${file}")
  endif()
  get_filename_component(folder "${file}" DIRECTORY)
  list(APPEND folders "${folder}")
endforeach()

if(NOT made_known)
  # An install of an earlier version, which kept no list: the program's own
  # folders (lib/robot/... and share/robot/...), also those that held only
  # folders.
  foreach(folder IN LISTS folders)
    while(folder MATCHES "/(lib|share)/robot(/|$)")
      list(APPEND made "${folder}")
      get_filename_component(folder "${folder}" DIRECTORY)
    endwhile()
  endforeach()
endif()

# The user's data folder, by its name and by where it really is.
set(data_folders)
foreach(home "$ENV{XDG_DATA_HOME}" "$ENV{HOME}/.local/share")
  if(NOT home STREQUAL "" AND NOT home STREQUAL "/.local/share")
    list(APPEND data_folders "${home}/robot")
    if(EXISTS "${home}/robot")
      file(REAL_PATH "${home}/robot" real)
      list(APPEND data_folders "${real}")
    endif()
  endif()
endforeach()
function(robot_in_data_folder folder out)
  set(names "${folder}")
  if(EXISTS "${folder}")
    file(REAL_PATH "${folder}" real)
    list(APPEND names "${real}")
  endif()
  set(${out} NO PARENT_SCOPE)
  foreach(name IN LISTS names)
    foreach(data IN LISTS data_folders)
      string(FIND "${name}/" "${data}/" at)
      if(at EQUAL 0)
        set(${out} YES PARENT_SCOPE)
      endif()
    endforeach()
  endforeach()
endfunction()

list(REMOVE_DUPLICATES made)
# Deepest first: a folder sorts after the folders it holds.
list(SORT made ORDER DESCENDING)
foreach(folder IN LISTS made)
  robot_in_data_folder("${folder}" users)
  if(users OR NOT IS_DIRECTORY "${folder}" OR IS_SYMLINK "${folder}")
    continue()
  endif()
  # rmdir removes a folder only when it is empty, whatever came in meanwhile.
  execute_process(COMMAND rmdir -- "${folder}" RESULT_VARIABLE kept OUTPUT_QUIET ERROR_QUIET)
  if(kept EQUAL 0)
    message(STATUS "Removed the empty folder ${folder}")
  endif()
endforeach()
