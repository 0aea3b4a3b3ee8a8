# Windows products (mingw-w64): TARVELIN.DLL with its fixed export table and its
# version resource, the import libraries for mingw (libtarvelin.dll.a) and MSVC
# (TARVELIN.lib) hosts, the host programs that prove them by linking against
# them, and the Windows test program that loads the DLL at run time.

enable_language(RC)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(TARVELIN_DEF ${PROJECT_BINARY_DIR}/tarvelin_i686.def)
  # The definition names the stdcall-decorated symbols (PortOpen@4); the DLL
  # exports them undecorated, as stdcall callers look them up by name.
  set(TARVELIN_KILL_AT -Wl,--kill-at)
  set(TARVELIN_LIB_MACHINE i386)
  set(TARVELIN_MSVC_TRIPLE i686-pc-windows-msvc)
else()
  set(TARVELIN_DEF ${PROJECT_BINARY_DIR}/tarvelin_x86_64.def)
  set(TARVELIN_KILL_AT)
  set(TARVELIN_LIB_MACHINE i386:x86-64)
  set(TARVELIN_MSVC_TRIPLE x86_64-pc-windows-msvc)
endif()

if(NOT CMAKE_DLLTOOL)
  string(REGEX REPLACE "gcc(-posix|-win32)?$" "dlltool" CMAKE_DLLTOOL "${CMAKE_C_COMPILER}")
endif()

add_library(tarvelin SHARED ${TARVELIN_SOURCES} src/exports/dll_main.cpp src/exports/version.rc)
add_library(tarvelin::tarvelin ALIAS tarvelin)
target_include_directories(tarvelin PRIVATE ${PROJECT_SOURCE_DIR}/src ${TARVELIN_GENERATED_DIR})
target_include_directories(tarvelin PUBLIC ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(tarvelin PRIVATE TARVELIN_BUILD)
# The resource compiler takes none of the C++ options.
target_compile_options(tarvelin PRIVATE
  "$<$<COMPILE_LANGUAGE:CXX>:${TARVELIN_WARNINGS};-fno-exceptions;-fno-rtti>")
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
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
  # ld's own import library names the undecorated symbols under --kill-at, which
  # stdcall callers (referring to PortOpen@4) cannot link against; it is kept
  # out of the way and the ones built below are the ones to use.
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/CMakeFiles/ld-implib
  LINK_DEPENDS ${TARVELIN_DEF})

# dlltool -k: the import library resolves decorated references (PortOpen@4 on
# i686) to the undecorated names the DLL exports.
add_custom_command(
  OUTPUT ${PROJECT_BINARY_DIR}/libtarvelin.dll.a
  COMMAND ${CMAKE_DLLTOOL} -k -d ${TARVELIN_DEF} -D TARVELIN.DLL -l libtarvelin.dll.a
  DEPENDS ${TARVELIN_DEF}
  # dlltool names its internal symbols after the output path: a bare name keeps
  # the build folder out of the shipped library.
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  COMMENT "Import library libtarvelin.dll.a"
  VERBATIM)
add_custom_target(tarvelin_implib ALL DEPENDS ${PROJECT_BINARY_DIR}/libtarvelin.dll.a)

# The MSVC import library: short import members whose name type undecorates
# _PortOpen@4 to PortOpen, made from the same definition.
find_program(TARVELIN_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)
find_program(TARVELIN_CLANG NAMES clang clang-16 clang-15 clang-14)
find_program(TARVELIN_LLD_LINK NAMES lld-link lld-link-16 lld-link-15 lld-link-14)
if(TARVELIN_LLVM_DLLTOOL)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/TARVELIN.lib
    COMMAND ${TARVELIN_LLVM_DLLTOOL} -m ${TARVELIN_LIB_MACHINE} -k -d ${TARVELIN_DEF} -l TARVELIN.lib
    DEPENDS ${TARVELIN_DEF}
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    COMMENT "Import library TARVELIN.lib (MSVC)"
    VERBATIM)
  add_custom_target(tarvelin_msvc_implib ALL DEPENDS ${PROJECT_BINARY_DIR}/TARVELIN.lib)
else()
  message(WARNING "llvm-dlltool not found (Debian package llvm): TARVELIN.lib is not built")
endif()

set(TARVELIN_C_WARNINGS
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Wformat=2
  -Wundef -Wstrict-prototypes -Wmissing-prototypes)

# The mingw host: client.c linked against libtarvelin.dll.a.
add_executable(tarvelin_client ${PROJECT_SOURCE_DIR}/tests/windows/client.c)
target_include_directories(tarvelin_client PRIVATE ${PROJECT_SOURCE_DIR}/include ${TARVELIN_GENERATED_DIR})
target_compile_options(tarvelin_client PRIVATE ${TARVELIN_C_WARNINGS})
target_link_options(tarvelin_client PRIVATE -static)
target_link_libraries(tarvelin_client PRIVATE ${PROJECT_BINARY_DIR}/libtarvelin.dll.a)
set_target_properties(tarvelin_client PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/CMakeFiles/ld-implib)
add_dependencies(tarvelin_client tarvelin_implib tarvelin)

# The MSVC host: the same client compiled for the MSVC target and linked by
# lld-link against TARVELIN.lib. Without the MSVC C runtime it calls KERNEL32
# only, through an import library made here from the few functions it uses.
if(TARVELIN_LLVM_DLLTOOL AND TARVELIN_CLANG AND TARVELIN_LLD_LINK)
  set(kernel32_functions ExitProcess:4 GetCommandLineA:0 GetStdHandle:4 WriteFile:20)
  set(kernel32_def "LIBRARY KERNEL32.dll\nEXPORTS\n")
  foreach(entry IN LISTS kernel32_functions)
    string(REPLACE ":" ";" entry "${entry}")
    list(GET entry 0 function)
    list(GET entry 1 bytes)
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
      string(APPEND kernel32_def "  ${function}@${bytes}\n")
    else()
      string(APPEND kernel32_def "  ${function}\n")
    endif()
  endforeach()
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/client_kernel32.def CONTENT "${kernel32_def}" @ONLY)

  set(msvc_dir ${PROJECT_BINARY_DIR}/CMakeFiles/client-msvc)
  file(MAKE_DIRECTORY ${msvc_dir})
  add_custom_command(
    OUTPUT ${msvc_dir}/kernel32.lib
    COMMAND ${TARVELIN_LLVM_DLLTOOL} -m ${TARVELIN_LIB_MACHINE} -k
            -d ${PROJECT_BINARY_DIR}/client_kernel32.def -l ${msvc_dir}/kernel32.lib
    DEPENDS ${PROJECT_BINARY_DIR}/client_kernel32.def
    VERBATIM)
  add_custom_command(
    OUTPUT ${msvc_dir}/client.obj
    COMMAND ${TARVELIN_CLANG} --target=${TARVELIN_MSVC_TRIPLE} -O1 -ffreestanding -fno-builtin
            -fno-stack-protector -mno-stack-arg-probe -Wall -Wextra -Werror
            -DTARVELIN_CLIENT_NO_CRT -I${PROJECT_SOURCE_DIR}/include -I${TARVELIN_GENERATED_DIR}
            -c ${PROJECT_SOURCE_DIR}/tests/windows/client.c -o ${msvc_dir}/client.obj
    DEPENDS ${PROJECT_SOURCE_DIR}/tests/windows/client.c ${PROJECT_SOURCE_DIR}/include/tarvelin.h
            ${TARVELIN_GENERATED_DIR}/tarvelin_version.h
    COMMENT "Compiling the MSVC client"
    VERBATIM)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/tarvelin_client_msvc.exe
    COMMAND ${TARVELIN_LLD_LINK} /nologo /subsystem:console /entry:ClientStart /nodefaultlib
            /out:${PROJECT_BINARY_DIR}/tarvelin_client_msvc.exe
            ${msvc_dir}/client.obj ${PROJECT_BINARY_DIR}/TARVELIN.lib ${msvc_dir}/kernel32.lib
    DEPENDS ${msvc_dir}/client.obj ${PROJECT_BINARY_DIR}/TARVELIN.lib ${msvc_dir}/kernel32.lib
    COMMENT "Linking tarvelin_client_msvc.exe with lld-link against TARVELIN.lib"
    VERBATIM)
  add_custom_target(tarvelin_client_msvc ALL DEPENDS ${PROJECT_BINARY_DIR}/tarvelin_client_msvc.exe)
else()
  message(WARNING "clang, lld-link or llvm-dlltool not found (Debian packages clang, lld, llvm): "
                  "the MSVC client is not built")
endif()

# The Windows test program: resolves every export by name and by ordinal and
# runs a session against the board. It loads TARVELIN.DLL from its own folder
# at run time, so it does not link against it.
add_executable(tarvelin_wintest ${PROJECT_SOURCE_DIR}/tests/windows/wintest.c)
target_include_directories(tarvelin_wintest PRIVATE ${PROJECT_SOURCE_DIR}/include ${TARVELIN_GENERATED_DIR})
target_compile_options(tarvelin_wintest PRIVATE ${TARVELIN_C_WARNINGS})
target_link_options(tarvelin_wintest PRIVATE -static)
# The safe array it hands to the Visual Basic variant; the version resources it reads.
target_link_libraries(tarvelin_wintest PRIVATE oleaut32 version)
set_target_properties(tarvelin_wintest PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/CMakeFiles/ld-implib)
add_dependencies(tarvelin_wintest tarvelin)

# The win32 line's contract under Wine: the line's own sources, no DLL.
add_executable(tarvelin_linetest ${PROJECT_SOURCE_DIR}/tests/windows/line_contract.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/win32/serial_line.cpp ${PROJECT_SOURCE_DIR}/src/platform/win32/host.cpp
  ${PROJECT_SOURCE_DIR}/src/platform/debug_line.cpp)
target_include_directories(tarvelin_linetest PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_options(tarvelin_linetest PRIVATE -fno-exceptions -fno-rtti)
target_link_options(tarvelin_linetest PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(tarvelin_linetest PRIVATE oleaut32)
set_target_properties(tarvelin_linetest PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

# tarvelin.exe, the command-line tool, linked against libtarvelin.dll.a.
add_subdirectory(${CMAKE_SOURCE_DIR}/tools/cli ${CMAKE_BINARY_DIR}/tools/cli)
