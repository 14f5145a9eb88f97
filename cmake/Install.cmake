# Install rules: the module in lib (bin for the DLL), the header in include,
# the tools in bin, and a CMake package config and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS ce_kestrel EXPORT ce_kestrelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/ce_kestrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT ce_kestrelTargets NAMESPACE ce_kestrel::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ce_kestrel)
configure_package_config_file(cmake/ce_kestrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ce_kestrelConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ce_kestrel)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ce_kestrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ce_kestrelConfig.cmake
  ${PROJECT_BINARY_DIR}/ce_kestrelConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ce_kestrel)

# The pkg-config file finds the prefix from its own place, so the install
# can be moved or made with --prefix.
file(RELATIVE_PATH CE_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" CE_PC_TO_PREFIX "${CE_PC_TO_PREFIX}")
configure_file(cmake/ce_kestrel.pc.in ${PROJECT_BINARY_DIR}/ce_kestrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ce_kestrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
