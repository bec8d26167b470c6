# tq_room(<room> <sources...>): the static library tq_<room>. Its include
# directory holds only a link named <room> to the room's folder, so that
# "room/File.h" resolves for this room and for the targets that link it, and
# for no other: an include the links do not allow fails to compile.
function(tq_room room)
  set(dir ${PROJECT_BINARY_DIR}/rooms/${room})
  if(NOT EXISTS ${dir}/${room})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${room} ${dir}/${room} SYMBOLIC)
  endif()
  if(ARGN)
    add_library(tq_${room} STATIC ${ARGN})
    target_include_directories(tq_${room} PUBLIC ${dir})
  else()
    add_library(tq_${room} INTERFACE)
    target_include_directories(tq_${room} INTERFACE ${dir})
  endif()
endfunction()

# tq_room_headers(<target> <rooms...>): a target that includes these rooms'
# headers without linking their code (the command, which gets the code from
# the shared library).
function(tq_room_headers target)
  foreach(room IN LISTS ARGN)
    target_include_directories(${target} PRIVATE ${PROJECT_BINARY_DIR}/rooms/${room})
  endforeach()
endfunction()
