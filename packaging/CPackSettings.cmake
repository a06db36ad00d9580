# CPack: two Debian packages from the installed tree.
#   librestexecutor1    the libraries and fennic-agent; run-time
#                       dependencies from the binaries (dpkg-shlibdeps)
#   librestexecutor-dev headers, CMake package and pkg-config file; needs
#                       the first at the same version and the cpprestsdk and
#                       OpenSSL development files that the headers include
#   cpack -G DEB          (in the build folder)
set(FENNIC_PACKAGE_MAINTAINER "Fennic maintainers <maintainers@zelvan.invalid>"
  CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME "restexecutor")
set(CPACK_PACKAGE_VENDOR "zelvan")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${FENNIC_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "REST request layer of the Fennic device-management agent")
set(CPACK_PACKAGE_DESCRIPTION
  "libRestExecutor registers a workstation agent with its tenant's management server, "
  "sends heart beats, fetches and applies update and configuration deployments, downloads "
  "packages and reports device events, on one worker thread. The package also holds the "
  "reference outside services, the HTTP transport, the reference host program fennic-agent, "
  "the headers, a CMake package (find_package(RestExecutor CONFIG)) and a pkg-config file.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "RestExecutor")
set(CPACK_RESOURCE_FILE_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
# The package carries stripped binaries; the build tree keeps the debug information.
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME "librestexecutor1")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME "librestexecutor-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION "libdevel")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${FENNIC_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# Run-time dependencies come from the binaries (dpkg-shlibdeps, in dpkg-dev).
find_program(FENNIC_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(FENNIC_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  # Our own libraries, in the staging folder that dpkg-shlibdeps runs in.
  string(REGEX REPLACE "^/" "" fennic_staged_prefix "${CPACK_PACKAGING_INSTALL_PREFIX}")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${fennic_staged_prefix}/${CMAKE_INSTALL_LIBDIR}")
else()
  # Without dpkg-shlibdeps the libraries are named by hand.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libcpprest2.10, libssl3, libspdlog1.10-fmt9")
endif()
# The component dependency adds librestexecutor1 of the same version.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libcpprest-dev, libssl-dev")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)
# The example configuration is the administrator's to edit; upgrades keep it.
if(FENNIC_INSTALL_SERVICE)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/conffiles")
endif()

include(CPack)
