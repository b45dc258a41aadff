# Run by `cmake --install` (packaging/CMakeLists.txt): notes which folders the
# install makes, so that the uninstall (packaging/Uninstall.cmake) removes
# those again when they are empty, and never a folder that was there before
# (a shared bin/ or share/applications/ of the system).
#
#   ROBOT_FOLDER_STEP      "before": before the first file goes in;
#                          "after": once the last one is in
#   ROBOT_FOLDERS          the folders files go to, relative to the prefix
#   ROBOT_ASSETS_BUILD     the build's assets folder, whose subfolders are
#                          installed below ROBOT_ASSETS_FOLDER too
#   ROBOT_FOLDER_LIST      the installed list of made folders (relative)
#   ROBOT_FOLDER_STAGING   where "after" writes that list for the install
#
# Between the two steps the made folders are kept in ROBOT_MADE_FOLDERS and
# the folders looked at in ROBOT_FOLDERS_NOTED (the install runs as one
# script). "after" warns of a file installed elsewhere. The list holds absolute paths, as the install
# manifest does.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

if(ROBOT_FOLDER_STEP STREQUAL "before")
  set(folders ${ROBOT_FOLDERS})
  file(GLOB_RECURSE assets LIST_DIRECTORIES true RELATIVE "${ROBOT_ASSETS_BUILD}" "${ROBOT_ASSETS_BUILD}/*")
  foreach(entry IN LISTS assets)
    if(IS_DIRECTORY "${ROBOT_ASSETS_BUILD}/${entry}")
      list(APPEND folders "${ROBOT_ASSETS_FOLDER}/${entry}")
    endif()
  endforeach()
  # The folders and all their parents, relative, for the check after.
  set(ROBOT_FOLDERS_NOTED)
  foreach(folder IN LISTS folders)
    while(NOT folder STREQUAL "" AND NOT folder STREQUAL ".")
      list(APPEND ROBOT_FOLDERS_NOTED "${folder}")
      get_filename_component(folder "${folder}" DIRECTORY)
    endwhile()
  endforeach()
  # Each folder and its parents that are not there yet: the prefix too, and
  # the folders above it, when the install makes them.
  set(ROBOT_MADE_FOLDERS)
  foreach(folder IN LISTS folders)
    set(path "${root}/${folder}")
    while(NOT EXISTS "${path}" AND NOT IS_SYMLINK "${path}")
      list(APPEND ROBOT_MADE_FOLDERS "${path}")
      get_filename_component(path "${path}" DIRECTORY)
    endwhile()
  endforeach()
  # Folders an earlier install over this one made are still the program's.
  set(earlier "${root}/${ROBOT_FOLDER_LIST}")
  if(EXISTS "${earlier}")
    file(STRINGS "${earlier}" made)
    list(APPEND ROBOT_MADE_FOLDERS ${made})
  endif()
  list(REMOVE_DUPLICATES ROBOT_MADE_FOLDERS)
elseif(ROBOT_FOLDER_STEP STREQUAL "after")
  # A file that went to a folder not among ROBOT_FOLDERS: whether the install
  # made that folder is unknown, and the uninstall would leave it.
  foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    get_filename_component(folder "${file}" DIRECTORY)
    file(RELATIVE_PATH relative "${root}" "${folder}")
    list(FIND ROBOT_FOLDERS_NOTED "${relative}" noted) # no if(IN_LIST): the install script runs with old policies
    if(noted EQUAL -1)
      message(WARNING "${file} went to ${relative}, which is not among the folders "
                      "packaging/CMakeLists.txt notes before the install (ROBOT_INSTALL_FOLDERS): "
                      "the uninstall will not know whether the install made it.")
      list(APPEND ROBOT_FOLDERS_NOTED "${relative}")
    endif()
  endforeach()
  list(SORT ROBOT_MADE_FOLDERS)
  list(JOIN ROBOT_MADE_FOLDERS "\n" text)
  file(WRITE "${ROBOT_FOLDER_STAGING}" "${text}\n")
else()
  message(FATAL_ERROR "InstallFolders.cmake: ROBOT_FOLDER_STEP must be before or after")
endif()
