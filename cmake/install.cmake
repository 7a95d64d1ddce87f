# Installation for people who build their own host: the two libraries, the two headers, the
# tools, an example settings file, a CMake package (find_package(VktJX)) and pkg-config files.
# The installed tree is relocatable: the package files find everything relative to themselves.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VKTJX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/VktJX)
set(VKTJX_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

foreach(lib et32b vktjx)
  if(TARGET ${lib})
    install(TARGETS ${lib}
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endforeach()
if(TARGET vktsim)
  install(TARGETS vktsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

foreach(header et32b.h vktjx.h)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include/${header})
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/include/${header}
            DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  endif()
endforeach()
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/examples/VktJX.Cfg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vktjx/examples)

# Paths from each package file's directory back to the prefix.
file(RELATIVE_PATH VKTJX_CMAKE_TO_PREFIX
     ${CMAKE_INSTALL_PREFIX}/${VKTJX_CMAKE_DIR} ${CMAKE_INSTALL_PREFIX})
file(RELATIVE_PATH VKTJX_PC_TO_PREFIX
     ${CMAKE_INSTALL_PREFIX}/${VKTJX_PKGCONFIG_DIR} ${CMAKE_INSTALL_PREFIX})
if(WIN32)
  set(VKTJX_DRIVER_FILE VktJX.dll)
  set(VKTJX_VALUES_FILE ET32B.dll)
else()
  set(VKTJX_DRIVER_FILE libvktjx.so)
  set(VKTJX_VALUES_FILE libet32b.so)
endif()

set(VKTJX_GEN_DIR ${CMAKE_CURRENT_BINARY_DIR}/package)
configure_file(${CMAKE_CURRENT_LIST_DIR}/VktJXConfig.cmake.in
               ${VKTJX_GEN_DIR}/VktJXConfig.cmake @ONLY)
write_basic_package_version_file(${VKTJX_GEN_DIR}/VktJXConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vktjx.pc.in ${VKTJX_GEN_DIR}/vktjx.pc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/et32b.pc.in ${VKTJX_GEN_DIR}/et32b.pc @ONLY)

install(FILES ${VKTJX_GEN_DIR}/VktJXConfig.cmake ${VKTJX_GEN_DIR}/VktJXConfigVersion.cmake
        DESTINATION ${VKTJX_CMAKE_DIR})
if(NOT WIN32)
  install(FILES ${VKTJX_GEN_DIR}/vktjx.pc ${VKTJX_GEN_DIR}/et32b.pc
          DESTINATION ${VKTJX_PKGCONFIG_DIR})
endif()

# What a Linux machine's user meets beside the programs: man pages, bash completions, the udev
# example, and the Wireshark dissector where Wireshark looks for Lua plugins.
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/man/vkthost.1 ${PROJECT_SOURCE_DIR}/man/vktsim.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/man/VktJX.Cfg.5 ${PROJECT_SOURCE_DIR}/man/vktgw.toml.5
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
  install(FILES ${PROJECT_SOURCE_DIR}/man/vktgw.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${PROJECT_SOURCE_DIR}/completions/vkthost ${PROJECT_SOURCE_DIR}/completions/vktsim
                ${PROJECT_SOURCE_DIR}/completions/vktgw
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/vktgw.toml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/vktjx/examples)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/udev/99-vkt-serial.rules
          DESTINATION ${CMAKE_INSTALL_DATADIR}/vktjx/examples/udev)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/vkt.lua
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
endif()
