# Installs the C++ library: libvorlane, the public headers, the CMake package (target
# vorlane::vorlane) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(vorlane_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vorlane)

install(TARGETS vorlane_core EXPORT vorlaneTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/vorlane/include/vorlane DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vorlaneTargets NAMESPACE vorlane:: DESTINATION ${vorlane_cmake_dir})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vorlaneConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vorlaneConfig.cmake
                              INSTALL_DESTINATION ${vorlane_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vorlaneConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vorlaneConfig.cmake ${PROJECT_BINARY_DIR}/vorlaneConfigVersion.cmake
        DESTINATION ${vorlane_cmake_dir})

# The prefix relative to the .pc file, so that `cmake --install --prefix` anywhere gets a
# pkg-config file that points at itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(vorlane_pc_prefix "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH vorlane_pc_up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  set(vorlane_pc_prefix "\${pcfiledir}/${vorlane_pc_up}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/vorlane.pc.in ${PROJECT_BINARY_DIR}/vorlane.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorlane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
