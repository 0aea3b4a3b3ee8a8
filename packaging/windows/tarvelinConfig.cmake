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

# An ARM64 program has 8-byte pointers like an x64 one, but loads neither DLL.
foreach(_tarvelin_id IN ITEMS "${CMAKE_C_COMPILER_ARCHITECTURE_ID}" "${CMAKE_CXX_COMPILER_ARCHITECTURE_ID}"
                              "${CMAKE_C_COMPILER_TARGET}" "${CMAKE_CXX_COMPILER_TARGET}")
  if(_tarvelin_id MATCHES "^(ARM64|ARM64EC|arm64|aarch64)")
    set(${CMAKE_FIND_PACKAGE_NAME}_FOUND FALSE)
    set(${CMAKE_FIND_PACKAGE_NAME}_NOT_FOUND_MESSAGE
        "the program is built for ARM64 (${_tarvelin_id}), and the package has DLLs for x86 and x64 only: build the program for x64 (it runs emulated on ARM64 Windows) or x86")
    unset(_tarvelin_id)
    return()
  endif()
endforeach()
unset(_tarvelin_id)

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
