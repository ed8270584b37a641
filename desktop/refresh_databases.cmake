# Run by `cmake --install` after the files are in place: refreshes the desktop's file
# type and handler databases under the prefix, so that documents open with the viewer at
# once. A staged install (DESTDIR set, and so every package) runs nothing: the system's
# package manager refreshes them where the files finally land.
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()

set(data_dir "${zub_data_dir}")
if(NOT IS_ABSOLUTE "${data_dir}")
  set(data_dir "${CMAKE_INSTALL_PREFIX}/${data_dir}")
endif()

function(refresh program folder)
  find_program(tool_${program} ${program})
  if(tool_${program})
    message(STATUS "Running: ${program} ${folder}")
    execute_process(COMMAND ${tool_${program}} ${folder})
  endif()
endfunction()

refresh(update-mime-database "${data_dir}/mime")
refresh(update-desktop-database "${data_dir}/applications")
