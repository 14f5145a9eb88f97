# Install rules: the module in lib (bin for the DLL), the header in include,
# the tools in bin, and a CMake package config and a pkg-config file.
#
# Each file belongs to one component, which decides its package
# (cmake/Packaging.cmake): runtime (the module, the provider stand-in,
# cehost, kestrel-keys and their man pages), dev (header, development link,
# import library, .def, CMake package, pkg-config, the example) and doc.
include(CMakePackageConfigHelpers)

install(TARGETS ce_kestrel EXPORT ce_kestrelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
    NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES include/ce_kestrel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)
if(WIN32)
  # Hosts that make their own import library (other linkers) start from it.
  install(FILES Cryptlib/ce_kestrel.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT dev)
endif()

install(EXPORT ce_kestrelTargets NAMESPACE ce_kestrel::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ce_kestrel COMPONENT dev)
configure_package_config_file(cmake/ce_kestrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ce_kestrelConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ce_kestrel)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ce_kestrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ce_kestrelConfig.cmake
  ${PROJECT_BINARY_DIR}/ce_kestrelConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/ce_kestrel COMPONENT dev)

# The pkg-config file finds the prefix from its own place, so the install
# can be moved or made with --prefix.
file(RELATIVE_PATH CE_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" CE_PC_TO_PREFIX "${CE_PC_TO_PREFIX}")
configure_file(cmake/ce_kestrel.pc.in ${PROJECT_BINARY_DIR}/ce_kestrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ce_kestrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

# The documentation: the README and docs/ (the host guide among them).
file(GLOB CE_DOCUMENTS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES README.md ${CE_DOCUMENTS} DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT doc)
