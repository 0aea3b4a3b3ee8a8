# The install tree (GNU layout) of the Linux library, and its packages:
#   lib/libtarvelin.so.3.51.0, .so.3 and .so       include/tarvelin.h
#   lib/pkgconfig/tarvelin.pc                       lib/cmake/tarvelin/ (tarvelin::tarvelin)
#   bin/ the tools, share/man/ their pages and tarvelin(3), share/doc/tarvelin/
include(CMakePackageConfigHelpers)

option(TARVELIN_INSTALL "Install the library, its header, pkg-config file and CMake package" ON)
if(NOT TARVELIN_INSTALL)
  return()
endif()

set(TARVELIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvelin)

install(TARGETS tarvelin EXPORT tarvelinTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT tarvelinTargets NAMESPACE tarvelin:: DESTINATION ${TARVELIN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/linux/tarvelinConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/tarvelinConfig.cmake INSTALL_DESTINATION ${TARVELIN_CMAKE_DIR})
# The export table is the ABI: any 3.x serves a program built against 3.y.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/tarvelinConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tarvelinConfig.cmake
  ${PROJECT_BINARY_DIR}/packaging/tarvelinConfigVersion.cmake DESTINATION ${TARVELIN_CMAKE_DIR})

# pkg-config finds the prefix from the file's own place, so that an unpacked
# tar.gz works wherever it is put.
set(pc_up "")
string(REPLACE "/" ";" libdir_parts "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
foreach(part IN LISTS libdir_parts)
  string(APPEND pc_up "/..")
endforeach()
set(TARVELIN_PC_PREFIX "\${pcfiledir}${pc_up}")
configure_file(${PROJECT_SOURCE_DIR}/packaging/linux/tarvelin.pc.in ${PROJECT_BINARY_DIR}/packaging/tarvelin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/tarvelin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARVELIN_TOOL_TARGETS)
  install(TARGETS ${TARVELIN_TOOL_TARGETS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

# cpack -G TGZ / DEB in the build tree: the installed tree as a tar.gz and a .deb.
set(CPACK_PACKAGE_NAME tarvelin)
set(CPACK_PACKAGE_VENDOR "TARVELIN")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Driver library for the I/O controller board on a serial COM port")
set(CPACK_PACKAGE_CONTACT "TARVELIN developers <tarvelin@localhost>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_PACKAGE_FILE_NAME tarvelin-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# shlibs and the ldconfig trigger, so that the loader cache learns libtarvelin.so.3.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The C++ runtime is linked in; the C library and the threads are the system's.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1")
include(CPack)
