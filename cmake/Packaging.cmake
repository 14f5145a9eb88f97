# Packages, made by `cpack` in the build directory (into packages/ there).
#
# Linux: Debian packages, one per install component (cmake/Install.cmake):
#   ce-kestrel      runtime: the module, the provider stand-in of both
#                   generations, cehost and kestrel-keys
#   ce-kestrel-dev  dev: header, development link, CMake package,
#                   pkg-config file, the example
#   ce-kestrel-doc  doc: the README and the guides under share/doc
# Windows: one zip of the whole install, for hosts of the build's word size
# (the mingw-i686 build makes the one for 32-bit hosts).
#
# Install rules that name no component land in the doc package,
# which is architecture-independent: the packaging test (lintian) refuses a
# program or library that strays there.
set(CPACK_PACKAGE_NAME ce-kestrel)
set(CPACK_PACKAGE_VENDOR "the ce_kestrel developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev doc)

set(CE_PACKAGE_MAINTAINER "ce_kestrel maintainers <maintainers@users.noreply.c-seed-a317f003.example>"
  CACHE STRING "Maintainer named in the Debian packages")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CE_DESCRIPTION}")
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CE_PACKAGE_SYSTEM win32)
  else()
    set(CE_PACKAGE_SYSTEM win64)
  endif()
  set(CPACK_PACKAGE_FILE_NAME ce_kestrel-${PROJECT_VERSION}-${CE_PACKAGE_SYSTEM})
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/packaging/README-windows.txt.in
    ${PROJECT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION . COMPONENT runtime)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CE_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_COMPONENT_DEV_DEPENDS runtime)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ce-kestrel)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # Library dependencies from dpkg-shlibdeps; a shlibs file for the module's
  # SONAME so that packages built against it depend on this one.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  # ldconfig runs by its trigger (CPack's scripts call it as well).
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/cmake/packaging/triggers)
  # The provider on OpenSSL loads the GOST engine at run time, which no
  # linked library reveals.
  if(KESTREL_CRYPTO_BACKEND STREQUAL "openssl")
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS libengine-gost-openssl)
  endif()
    # The first line of each description is the package's synopsis.
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "crypto engine module for the Kestrel protection library
The ce_kestrel module encrypts and decrypts buffers for recipients, makes
and checks detached and attached signatures and keeps a public key
directory, driving the Kestrel provider library loaded at run time.
This package holds the module, a stand-in for the provider (generations 4
and 5) with GOST cryptography, the host program cehost and the provider's
key tool kestrel-keys.")

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME ce-kestrel-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
  set(CPACK_COMPONENT_DEV_DESCRIPTION "crypto engine module for Kestrel - development files
The header, the development link, the CMake package (ce_kestrel::ce_kestrel),
the pkg-config file and an example host program of the ce_kestrel module.")

  set(CPACK_DEBIAN_DOC_PACKAGE_NAME ce-kestrel-doc)
  set(CPACK_DEBIAN_DOC_PACKAGE_SECTION doc)
  set(CPACK_DEBIAN_DOC_PACKAGE_ARCHITECTURE all)
  set(CPACK_COMPONENT_DOC_DESCRIPTION "crypto engine module for Kestrel - documentation
The documentation of the ce_kestrel module: the guide for host developers,
the provider's description and the project's reliability and performance
records.")

  # Every Debian package carries its copyright and changelog in
  # /usr/share/doc/<package>.
  set(CE_PACKAGE_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
  string(TIMESTAMP CE_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  foreach(component runtime dev doc)
    string(TOUPPER ${component} upper)
    set(CE_PACKAGE ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    set(dir ${PROJECT_BINARY_DIR}/package-doc/${CE_PACKAGE})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/packaging/copyright.in ${dir}/copyright @ONLY)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/packaging/changelog.Debian.in
      ${dir}/changelog.Debian @ONLY)
    execute_process(COMMAND gzip -9nf ${dir}/changelog.Debian RESULT_VARIABLE gzipped)
    if(NOT gzipped EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${dir}/changelog.Debian")
    endif()
    install(FILES ${dir}/copyright ${dir}/changelog.Debian.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CE_PACKAGE} COMPONENT ${component})
  endforeach()
endif()

include(CPack)
