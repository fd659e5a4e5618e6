# Layers of the code. Each layer is a library whose headers are reachable only through the
# include root the layer exports: a folder of its own under the build tree that holds one link,
# named as the layer's folder is named in include lines ("device", "ui/shell"), to the layer's
# source folder. A target therefore sees its own headers and those of the layers it links, and
# an include of a layer it does not link (a wrong-way include) fails to compile.
#
#   vqr_layer(TARGET NAME)   NAME: how include lines name the folder of the calling
#                            CMakeLists.txt ("device" for src/device, "ui/qt" for src/ui/qt)
function(vqr_layer target name)
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  set(link ${root}/${name})
  get_filename_component(parent ${link} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT EXISTS ${link})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${link} SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
