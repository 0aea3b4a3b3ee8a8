# Linux products: the core as a static library (tests link it to reach the
# internals), the shared library exporting only the 33 names, the virtual board,
# the demo, the tests and the benchmarks; the install tree and its packages.
find_package(Threads REQUIRED)

add_library(tarvelin_core STATIC ${TARVELIN_SOURCES})
target_include_directories(tarvelin_core PUBLIC
  ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/src ${TARVELIN_GENERATED_DIR})
target_compile_definitions(tarvelin_core PRIVATE TARVELIN_BUILD)
target_compile_options(tarvelin_core PRIVATE ${TARVELIN_WARNINGS} -fvisibility=hidden -fno-exceptions -fno-rtti)
target_link_libraries(tarvelin_core PUBLIC Threads::Threads)

add_library(tarvelin SHARED src/exports/dll_main.cpp)
add_library(tarvelin::tarvelin ALIAS tarvelin)
# Users see the public header only, from the source tree or the install tree.
target_include_directories(tarvelin INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_options(tarvelin PRIVATE ${TARVELIN_WARNINGS} -fvisibility=hidden -fno-gnu-unique)
target_link_libraries(tarvelin PRIVATE -Wl,--whole-archive tarvelin_core -Wl,--no-whole-archive)
target_link_options(tarvelin PRIVATE
  -Wl,--version-script=${PROJECT_BINARY_DIR}/tarvelin.map -Wl,--no-undefined -static-libstdc++)
# libtarvelin.so.3.51.0, soname libtarvelin.so.3: the export table is the ABI,
# and a release that changes it changes the major number.
set_target_properties(tarvelin PROPERTIES
  LINK_DEPENDS ${PROJECT_BINARY_DIR}/tarvelin.map
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR}
  PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/tarvelin.h)

# The tools and the tests belong to this repository's own build; a project that
# takes the library in with add_subdirectory gets the library alone.
option(TARVELIN_BUILD_TOOLS "Build the virtual board, the demo and the command-line tool" ${PROJECT_IS_TOP_LEVEL})
if(TARVELIN_BUILD_TOOLS)
  foreach(dir tools/board tools/demo tools/cli)
    if(EXISTS ${PROJECT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endif()

# The installed tools: the virtual board and every program of the command-line
# tool's folder.
set(TARVELIN_TOOL_TARGETS)
if(TARGET tarvelin-board)
  list(APPEND TARVELIN_TOOL_TARGETS tarvelin-board)
endif()
if(TARVELIN_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tools/cli/CMakeLists.txt)
  get_property(cli_targets DIRECTORY ${PROJECT_SOURCE_DIR}/tools/cli PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS cli_targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      list(APPEND TARVELIN_TOOL_TARGETS ${target})
    endif()
  endforeach()
endif()

include(cmake/Install.cmake)

if(PROJECT_IS_TOP_LEVEL)
  include(CTest)
  find_package(GTest QUIET)
  if(BUILD_TESTING AND GTest_FOUND AND TARVELIN_BUILD_TOOLS AND EXISTS ${PROJECT_SOURCE_DIR}/tests/CMakeLists.txt)
    add_subdirectory(tests)
  elseif(BUILD_TESTING AND NOT GTest_FOUND)
    message(STATUS "GoogleTest not found (Debian package libgtest-dev): the tests are not built")
  endif()
endif()

# The API reference (HTML and tarvelin(3)) from the header; a warning, such as
# an undocumented function or parameter, fails the target.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND AND PROJECT_IS_TOP_LEVEL)
  set(TARVELIN_DOCS_DIR ${PROJECT_BINARY_DIR}/docs)
  configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
  add_custom_command(
    OUTPUT ${TARVELIN_DOCS_DIR}/man/man3/tarvelin.3 ${TARVELIN_DOCS_DIR}/html/index.html
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${TARVELIN_DOCS_DIR}/html ${TARVELIN_DOCS_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TARVELIN_DOCS_DIR}
    COMMAND Doxygen::doxygen ${PROJECT_BINARY_DIR}/Doxyfile
    DEPENDS ${PROJECT_SOURCE_DIR}/include/tarvelin.h ${PROJECT_SOURCE_DIR}/include/tarvelin.hpp
            ${PROJECT_BINARY_DIR}/Doxyfile
    COMMENT "API reference: HTML and tarvelin(3)"
    VERBATIM)
  # The tools' pages from their own --help, so that they follow the options.
  find_program(TARVELIN_HELP2MAN help2man)
  set(tool_pages)
  if(TARVELIN_HELP2MAN)
    foreach(tool IN LISTS TARVELIN_TOOL_TARGETS)
      get_target_property(name ${tool} OUTPUT_NAME)
      if(NOT name)
        set(name ${tool})
      endif()
      if(tool STREQUAL "tarvelin-board")
        set(what "the virtual I/O controller board on a pseudo-terminal")
      else()
        set(what "command-line tool of the TARVELIN driver library")
      endif()
      # Beside the reference, not in it: the reference's build clears its own folder.
      set(page ${PROJECT_BINARY_DIR}/man1/${name}.1)
      add_custom_command(
        OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man1
        COMMAND ${TARVELIN_HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
                --name=${what} --section=1 --output=${page} $<TARGET_FILE:${tool}>
        DEPENDS ${tool}
        COMMENT "Man page ${name}(1)"
        VERBATIM)
      list(APPEND tool_pages ${page})
    endforeach()
  else()
    message(STATUS "help2man not found (Debian package help2man): the tools get no man pages")
  endif()
  add_custom_target(docs DEPENDS ${TARVELIN_DOCS_DIR}/man/man3/tarvelin.3 ${TARVELIN_DOCS_DIR}/html/index.html
    ${tool_pages})
  if(TARVELIN_INSTALL)
    install(FILES ${TARVELIN_DOCS_DIR}/man/man3/tarvelin.3 DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 OPTIONAL)
    install(DIRECTORY ${TARVELIN_DOCS_DIR}/html/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/html OPTIONAL)
    foreach(page IN LISTS tool_pages)
      install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 OPTIONAL)
    endforeach()
  endif()
endif()
