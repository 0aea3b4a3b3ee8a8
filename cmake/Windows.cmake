# Windows products (mingw-w64): TARVELIN.DLL with its fixed export table, an
# import library for hosts that link against it, and the Windows test program
# that loads the DLL at run time.

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(TARVELIN_DEF ${CMAKE_BINARY_DIR}/tarvelin_i686.def)
  # The definition names the stdcall-decorated symbols (PortOpen@4); the DLL
  # exports them undecorated, as stdcall callers look them up by name.
  set(TARVELIN_KILL_AT -Wl,--kill-at)
else()
  set(TARVELIN_DEF ${CMAKE_BINARY_DIR}/tarvelin_x86_64.def)
  set(TARVELIN_KILL_AT)
endif()

if(NOT CMAKE_DLLTOOL)
  string(REGEX REPLACE "gcc(-posix|-win32)?$" "dlltool" CMAKE_DLLTOOL "${CMAKE_C_COMPILER}")
endif()

add_library(tarvelin SHARED ${TARVELIN_SOURCES} src/exports/dll_main.cpp)
target_include_directories(tarvelin PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(tarvelin PRIVATE TARVELIN_BUILD)
target_compile_options(tarvelin PRIVATE ${TARVELIN_WARNINGS} -fno-exceptions -fno-rtti)
# The module definition alone decides the exported names and ordinals; the
# runtime is linked in so that the DLL imports nothing but system DLLs.
target_link_options(tarvelin PRIVATE
  ${TARVELIN_DEF} ${TARVELIN_KILL_AT}
  -static -static-libgcc -static-libstdc++)
target_link_libraries(tarvelin PRIVATE user32 oleaut32)
set_target_properties(tarvelin PROPERTIES
  OUTPUT_NAME TARVELIN
  PREFIX ""
  SUFFIX ".DLL"
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  # ld's own import library names the undecorated symbols under --kill-at, which
  # stdcall callers (referring to PortOpen@4) cannot link against; it is kept
  # out of the way and the one built by dlltool below is the one to use.
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/CMakeFiles/ld-implib
  LINK_DEPENDS ${TARVELIN_DEF})

# dlltool -k: the import library resolves decorated references (PortOpen@4 on
# i686) to the undecorated names the DLL exports.
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/libtarvelin.dll.a
  COMMAND ${CMAKE_DLLTOOL} -k -d ${TARVELIN_DEF} -D TARVELIN.DLL
          -l ${CMAKE_BINARY_DIR}/libtarvelin.dll.a
  DEPENDS ${TARVELIN_DEF}
  COMMENT "Import library libtarvelin.dll.a"
  VERBATIM)
add_custom_target(tarvelin_implib ALL DEPENDS ${CMAKE_BINARY_DIR}/libtarvelin.dll.a)

# The Windows test program: resolves every export by name and by ordinal and
# runs a session against the board. It loads TARVELIN.DLL from its own folder
# at run time, so it does not link against it.
add_executable(tarvelin_wintest ${CMAKE_SOURCE_DIR}/tests/windows/wintest.c)
target_include_directories(tarvelin_wintest PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_compile_options(tarvelin_wintest PRIVATE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wformat=2
  -Wundef -Wstrict-prototypes -Wmissing-prototypes)
target_link_options(tarvelin_wintest PRIVATE -static)
# The safe array it hands to the Visual Basic variant.
target_link_libraries(tarvelin_wintest PRIVATE oleaut32)
set_target_properties(tarvelin_wintest PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/CMakeFiles/ld-implib)
add_dependencies(tarvelin_wintest tarvelin)
