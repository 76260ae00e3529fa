# The lower folders of the client (protocol/, lobby/, net/) build as libraries
# whose include root holds links to the folders each may use and to no other:
# an include of app/, ui/ or features/ from one of them names no file, and the
# build fails there.
function(pellora_layer target)
  set(root ${PROJECT_BINARY_DIR}/layers/${target})
  file(MAKE_DIRECTORY ${root})
  foreach(folder IN LISTS ARGN)
    if(NOT IS_SYMLINK ${root}/${folder})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
