# One static library per folder, and the layers between them enforced by the compiler: the
# sources of a folder compile against an include root in the build tree that holds links to the
# folder itself and to the folders it declares (and theirs), and to nothing else. An #include
# of a folder that was not declared, such as a lower layer reaching up into daemon/, does not
# compile.
#
#   qm_layer(<target> <folder> SOURCES <files> [DEPENDS <layer targets>] [LINK <other targets>])
#   qm_layer_includes(<target> <layer target>)  an executable of the same folder sees the same
function(qm_layer name folder)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;LINK" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${QM_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} ${ARG_LINK})

  set(folders ${folder})
  foreach(dep ${ARG_DEPENDS})
    get_target_property(dep_folders ${dep} QM_LAYER_FOLDERS)
    list(APPEND folders ${dep_folders})
  endforeach()
  list(REMOVE_DUPLICATES folders)
  set_property(TARGET ${name} PROPERTY QM_LAYER_FOLDERS ${folders})

  set(root ${CMAKE_BINARY_DIR}/layers/${name})
  # Links only: removing them never touches what they point to.
  file(GLOB old LIST_DIRECTORIES true ${root}/*)
  if(old)
    file(REMOVE ${old})
  endif()
  file(MAKE_DIRECTORY ${root})
  foreach(f ${folders})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${f} ${root}/${f} SYMBOLIC)
  endforeach()
  set_property(TARGET ${name} PROPERTY QM_LAYER_ROOT ${root})
  target_include_directories(${name} PRIVATE ${root})
endfunction()

function(qm_layer_includes target layer)
  get_target_property(root ${layer} QM_LAYER_ROOT)
  target_include_directories(${target} PRIVATE ${root})
endfunction()
