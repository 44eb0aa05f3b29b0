# cmake --install: the shared library, its headers, a CMake package
# (find_package(Velk) gives Velk::tso_audio) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS tso_audio EXPORT VelkTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/velk DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/velk/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velk)
# The stand-ins of the platform layers are part of the public headers' reach.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h" PATTERN "*internal*" EXCLUDE PATTERN "*kernels*" EXCLUDE)

set(VELK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velk)
install(EXPORT VelkTargets NAMESPACE Velk:: DESTINATION ${VELK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelkConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/VelkConfig.cmake
                              INSTALL_DESTINATION ${VELK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VelkConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VelkConfig.cmake ${PROJECT_BINARY_DIR}/VelkConfigVersion.cmake
        DESTINATION ${VELK_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/tso_audio.pc.in ${PROJECT_BINARY_DIR}/tso_audio.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tso_audio.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
