# What `cmake --install` puts where, the CMake package and pkg-config file that let other projects use
# the library, and the Debian packages `cpack -G DEB` makes from the same rules.
#
# Install components, one Debian package each:
#   dev        the connection library, its public headers, the CMake package and the pkg-config file
#   signin-qt  the Qt sign-in window (objects and header) for programs that link NimboConnection::signin-qt
#   desktop    the desktop program `cloudpane` with its .desktop file and icon
#   cli        the command-line program `nimbo`
#   emulator   the cloud emulator
# A program is installed and packaged with one line in its own CMakeLists.txt, e.g. for `nimbo`:
#   install(TARGETS nimbo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)

include(CMakePackageConfigHelpers)

set(NIMBO_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/NimboConnection)

# Before 1.0 every minor version may change the interface; from 1.0 on the major version does.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(NIMBO_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  set(NIMBO_COMPATIBILITY SameMinorVersion)
else()
  set(NIMBO_SOVERSION ${PROJECT_VERSION_MAJOR})
  set(NIMBO_COMPATIBILITY SameMajorVersion)
endif()

# ---- The library

set_target_properties(nimbo_connection PROPERTIES OUTPUT_NAME nimbo-connection EXPORT_NAME connection
                                                  VERSION ${PROJECT_VERSION} SOVERSION ${NIMBO_SOVERSION})
# Programs using the library compile as C++20 too: its headers need it.
target_compile_features(nimbo_connection PUBLIC cxx_std_20)

# The public headers are every header of the library but these, which only its own sources include.
set(NIMBO_INTERNAL_HEADERS CurlEasy.h JsonFieldTable.h)
# Headers of the Qt sign-in window, installed with it.
set(NIMBO_SIGNIN_QT_HEADERS FmxAuth.h)

file(GLOB NIMBO_PUBLIC_HEADERS CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/Nimbo/Connection/*.h
     ${PROJECT_SOURCE_DIR}/Nimbo/Connection/platform/*.h)
foreach(header IN LISTS NIMBO_INTERNAL_HEADERS NIMBO_SIGNIN_QT_HEADERS)
  list(REMOVE_ITEM NIMBO_PUBLIC_HEADERS Nimbo/Connection/${header})
endforeach()
list(TRANSFORM NIMBO_SIGNIN_QT_HEADERS PREPEND Nimbo/Connection/)

# Installs the headers (paths relative to the source root) with their folders.
function(nimbo_install_headers component)
  foreach(header IN LISTS ARGN)
    get_filename_component(folder ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${folder}
            COMPONENT ${component})
  endforeach()
endfunction()

install(TARGETS nimbo_connection EXPORT NimboConnectionTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev NAMELINK_COMPONENT dev)
nimbo_install_headers(dev ${NIMBO_PUBLIC_HEADERS})
install(EXPORT NimboConnectionTargets NAMESPACE NimboConnection:: DESTINATION ${NIMBO_PACKAGE_DIR} COMPONENT dev)

# The sign-in window is an object library, so that a program linking it has the window registered at
# start-up; its objects are installed as they are.
if(TARGET nimbo_fmxauth)
  set_target_properties(nimbo_fmxauth PROPERTIES EXPORT_NAME signin-qt)
  install(TARGETS nimbo_fmxauth EXPORT NimboConnectionSigninQtTargets
          OBJECTS DESTINATION ${CMAKE_INSTALL_LIBDIR}/nimbo-connection/signin-qt COMPONENT signin-qt)
  nimbo_install_headers(signin-qt ${NIMBO_SIGNIN_QT_HEADERS})
  install(EXPORT NimboConnectionSigninQtTargets NAMESPACE NimboConnection:: DESTINATION ${NIMBO_PACKAGE_DIR}
          COMPONENT signin-qt)
endif()

configure_package_config_file(cmake/NimboConnectionConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/NimboConnectionConfig.cmake INSTALL_DESTINATION ${NIMBO_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/NimboConnectionConfigVersion.cmake
                                 COMPATIBILITY ${NIMBO_COMPATIBILITY})
install(FILES ${PROJECT_BINARY_DIR}/NimboConnectionConfig.cmake ${PROJECT_BINARY_DIR}/NimboConnectionConfigVersion.cmake
        DESTINATION ${NIMBO_PACKAGE_DIR} COMPONENT dev)

# pkg-config: a static library brings its dependencies to the link; a shared one only to its own.
if(BUILD_SHARED_LIBS)
  set(NIMBO_PC_REQUIRES "")
  set(NIMBO_PC_REQUIRES_PRIVATE "libcurl simdjson libcrypto")
else()
  set(NIMBO_PC_REQUIRES "libcurl simdjson libcrypto")
  set(NIMBO_PC_REQUIRES_PRIVATE "")
endif()
file(RELATIVE_PATH NIMBO_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" NIMBO_PC_TO_PREFIX ${NIMBO_PC_TO_PREFIX})
configure_file(cmake/nimbo-connection.pc.in ${PROJECT_BINARY_DIR}/nimbo-connection.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/nimbo-connection.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# ---- Every public header compiles on its own, seeing nothing but the other public headers

# One object library of probes, each including one header twice (the second inclusion must be a
# no-op), against a copy of the public headers alone.
function(nimbo_header_probes target staged)
  set(probes "")
  foreach(header IN LISTS ARGN)
    string(MAKE_C_IDENTIFIER ${header} probe)
    set(probe ${PROJECT_BINARY_DIR}/public-headers/${probe}.cpp)
    file(CONFIGURE OUTPUT ${probe} CONTENT "#include \"${header}\"\n#include \"${header}\"\n")
    list(APPEND probes ${probe})
  endforeach()
  add_library(${target} OBJECT EXCLUDE_FROM_ALL ${probes})
  add_dependencies(${target} public_headers_staged)
  target_include_directories(${target} PRIVATE ${staged})
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

if(NIMBO_BUILD_TESTS)
  set(staged ${PROJECT_BINARY_DIR}/public-headers/include)
  # Copied afresh after every configuration, so that no header that is gone stays visible.
  file(REMOVE_RECURSE ${staged})
  set(staged_headers "")
  foreach(header IN LISTS NIMBO_PUBLIC_HEADERS NIMBO_SIGNIN_QT_HEADERS)
    add_custom_command(OUTPUT ${staged}/${header} DEPENDS ${PROJECT_SOURCE_DIR}/${header}
                       COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${header} ${staged}/${header})
    list(APPEND staged_headers ${staged}/${header})
  endforeach()
  add_custom_target(public_headers_staged DEPENDS ${staged_headers})

  nimbo_header_probes(public_headers_test ${staged} ${NIMBO_PUBLIC_HEADERS})
  set(probe_targets public_headers_test)
  if(TARGET nimbo_fmxauth)
    nimbo_header_probes(public_headers_qt_test ${staged} ${NIMBO_SIGNIN_QT_HEADERS})
    target_link_libraries(public_headers_qt_test PRIVATE Qt6::Widgets Qt6::WebEngineWidgets)
    list(APPEND probe_targets public_headers_qt_test)
  endif()
  add_test(NAME PublicHeadersCompileOnTheirOwn COMMAND ${CMAKE_COMMAND} --build ${PROJECT_BINARY_DIR} --target
                                                       ${probe_targets})
endif()

include(cmake/Packaging.cmake)
