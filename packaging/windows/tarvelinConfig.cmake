# find_package(tarvelin) for the Windows package. tarvelin::tarvelin is the DLL
# that matches the program's pointer size (x86 or x64), with the import library
# of its compiler: TARVELIN.lib for Microsoft C/C++ and clang-cl,
# libtarvelin.dll.a for mingw-w64. TARVELIN_DLL names the DLL to copy beside
# the program's .exe.
#
#   list(APPEND CMAKE_PREFIX_PATH "C:/TARVELIN-<version>-windows")
#   find_package(tarvelin REQUIRED)
#   target_link_libraries(program PRIVATE tarvelin::tarvelin)
get_filename_component(_tarvelin_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_tarvelin_arch x64)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_tarvelin_arch x86)
else()
  set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE)
  set(${CMAKE_FIND_PACKAGE_NAME}_NOT_FOUND_MESSAGE
      "the pointer size is unknown: call find_package(tarvelin) after project() has enabled C or C++")
  return()
endif()

if(MSVC OR CMAKE_C_SIMULATE_ID STREQUAL "MSVC" OR CMAKE_CXX_SIMULATE_ID STREQUAL "MSVC")
  set(_tarvelin_implib TARVELIN.lib)
else()
  set(_tarvelin_implib libtarvelin.dll.a)
endif()

set(TARVELIN_DLL ${_tarvelin_root}/${_tarvelin_arch}/TARVELIN.DLL)
if(NOT TARGET tarvelin::tarvelin)
  add_library(tarvelin::tarvelin SHARED IMPORTED)
  set_target_properties(tarvelin::tarvelin PROPERTIES
    IMPORTED_LOCATION ${TARVELIN_DLL}
    IMPORTED_IMPLIB ${_tarvelin_root}/${_tarvelin_arch}/${_tarvelin_implib}
    INTERFACE_INCLUDE_DIRECTORIES ${_tarvelin_root}/include)
endif()
unset(_tarvelin_root)
unset(_tarvelin_arch)
unset(_tarvelin_implib)
