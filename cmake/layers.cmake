# The driver's layers, one static library each, linked in the order of the class chain:
#   common (result codes, component base) -> serial (TAscDrv, the platform seam) -> settings
#   -> modem (TAscModemDrv) -> protocol (link layer, driver object)
# A layer sees only its own headers and those of the layers below it: its include root holds
# links to exactly those directories, so an include against the order fails the build.
set(VKT_LAYERS common serial settings modem protocol)
set(VKT_LAYER_ROOTS ${CMAKE_CURRENT_BINARY_DIR}/layer-include)

# VKT_CORE_SOURCES: every layer's portable sources, for targets that compile the chain in
# themselves with a platform of their own (the export fuzz target).
set(VKT_CORE_SOURCES "")
set(vkt_visible "")
set(vkt_below "")
foreach(layer IN LISTS VKT_LAYERS)
  list(APPEND vkt_visible ${layer})
  set(root ${VKT_LAYER_ROOTS}/${layer})
  file(MAKE_DIRECTORY ${root})
  foreach(dir IN LISTS vkt_visible)
    if(NOT EXISTS ${root}/${dir})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${dir} ${root}/${dir} SYMBOLIC)
    endif()
  endforeach()

  # Each directory holds only portable sources; the platform files are chosen by the caller.
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${layer}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/platform_[a-z0-9_]+\\.cpp$")
  list(APPEND VKT_CORE_SOURCES ${sources})
  add_library(vkt_${layer} STATIC ${sources})
  target_include_directories(vkt_${layer} PUBLIC ${root} ${PROJECT_SOURCE_DIR}/include)
  if(vkt_below)
    target_link_libraries(vkt_${layer} PUBLIC vkt_${vkt_below})
  endif()
  set(vkt_below ${layer})
endforeach()
