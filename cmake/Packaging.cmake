# Debian packages, one per install component: `cpack -G DEB` in the build folder. The packages are
# made from the default build (static library): the programs then need nothing of the library's at
# run time, and their shared-library dependencies are read from the binaries by dpkg-shlibdeps.

set(CPACK_PACKAGE_NAME nimbo-connection)
set(CPACK_PACKAGE_VENDOR "Velmor Labs")
set(CPACK_PACKAGE_CONTACT "Velmor Labs <packages@velmor.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Files kept with four cloud storage services, through one C++ library")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_COMPONENTS_ALL dev emulator)
if(TARGET nimbo_fmxauth)
  list(APPEND CPACK_COMPONENTS_ALL signin-qt)
endif()
if(TARGET cloudpane)
  list(APPEND CPACK_COMPONENTS_ALL desktop)
endif()
if(TARGET nimbo)
  list(APPEND CPACK_COMPONENTS_ALL cli)
endif()

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libnimbo-connection-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libcurl4-openssl-dev, libsimdjson-dev, libssl-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Nimbo connection library: development files\n"
    "The C++20 library for Google Drive, Dropbox, OneDrive and Box: the static library, its headers,\n"
    "the CMake package NimboConnection and the pkg-config file nimbo-connection.")

set(CPACK_DEBIAN_SIGNIN-QT_PACKAGE_NAME libnimbo-connection-signin-qt-dev)
set(CPACK_DEBIAN_SIGNIN-QT_PACKAGE_DEPENDS
    "libnimbo-connection-dev (= ${PROJECT_VERSION}), qt6-base-dev, qt6-webengine-dev")
set(CPACK_COMPONENT_SIGNIN-QT_DESCRIPTION
    "Nimbo connection library: Qt sign-in window\n"
    "The embedded-browser sign-in window (NimboConnection::signin-qt) for Qt 6 programs.")

set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME cloudpane)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DESKTOP_PACKAGE_SHLIBDEPS ON)
# Plugins the binaries do not link: the window's SVG icons.
set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "libqt6svg6")
set(CPACK_COMPONENT_DESKTOP_DESCRIPTION
    "Browse and manage the files kept with four cloud storage services\n"
    "Cloudpane lists, uploads, downloads, renames and deletes files on Google Drive, Dropbox,\n"
    "OneDrive and Box. `cloudpane --sandbox` runs it against emulated services on this machine.")

# The command-line program `nimbo`, packaged once its CMakeLists.txt installs it with COMPONENT cli.
set(CPACK_DEBIAN_CLI_PACKAGE_NAME nimbo)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CLI_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_CLI_DESCRIPTION
    "Command-line access to the files kept with four cloud storage services\n"
    "nimbo lists, uploads, downloads and manages files on Google Drive, Dropbox, OneDrive and Box.")

set(CPACK_DEBIAN_EMULATOR_PACKAGE_NAME cloud-emulator)
set(CPACK_DEBIAN_EMULATOR_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_EMULATOR_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_EMULATOR_DESCRIPTION
    "Local HTTPS emulator of Google Drive, Dropbox, OneDrive and Box\n"
    "Serves the services' APIs and OAuth 2.0 sign-in pages on one loopback port, for tests and trials.")

include(CPack)
