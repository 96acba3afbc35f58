# Installed tree: headers, the libraries, avitool and the remote plug-in under bin/darm64
# (installed by its own folder), a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/avi DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/handlers/local/include/avi/LocalFileHandler.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/avi)

install(TARGETS vxshared_multimedia_utils_avi vxshared_multimedia_utils_local_file_handler
        EXPORT vxshared_multimedia_utils_aviTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT dev
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Run-time dependencies of the library; not part of its interface.
install(TARGETS vxi18n vxpluginkit EXPORT vxshared_multimedia_utils_aviTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)

set(AVI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vxshared_multimedia_utils_avi)
install(EXPORT vxshared_multimedia_utils_aviTargets NAMESPACE avi:: DESTINATION ${AVI_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/Config.cmake.in
  ${CMAKE_BINARY_DIR}/vxshared_multimedia_utils_aviConfig.cmake INSTALL_DESTINATION ${AVI_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vxshared_multimedia_utils_aviConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vxshared_multimedia_utils_aviConfig.cmake
              ${CMAKE_BINARY_DIR}/vxshared_multimedia_utils_aviConfigVersion.cmake
        DESTINATION ${AVI_CMAKE_DIR})

configure_file(${CMAKE_CURRENT_LIST_DIR}/vxshared_multimedia_utils_avi.pc.in
  ${CMAKE_BINARY_DIR}/vxshared_multimedia_utils_avi.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vxshared_multimedia_utils_avi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
