# Linux products: the core as a static library (tests link it to reach the
# internals), the shared library exporting only the 33 names, the virtual board,
# the demo, the tests and the benchmarks.
find_package(Threads REQUIRED)

add_library(tarvelin_core STATIC ${TARVELIN_SOURCES})
target_include_directories(tarvelin_core PUBLIC ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(tarvelin_core PRIVATE TARVELIN_BUILD)
target_compile_options(tarvelin_core PRIVATE ${TARVELIN_WARNINGS} -fvisibility=hidden -fno-exceptions -fno-rtti)
target_link_libraries(tarvelin_core PUBLIC Threads::Threads)

add_library(tarvelin SHARED src/exports/dll_main.cpp)
target_compile_options(tarvelin PRIVATE ${TARVELIN_WARNINGS} -fvisibility=hidden -fno-gnu-unique)
target_link_libraries(tarvelin PRIVATE -Wl,--whole-archive tarvelin_core -Wl,--no-whole-archive)
target_link_options(tarvelin PRIVATE
  -Wl,--version-script=${CMAKE_BINARY_DIR}/tarvelin.map -Wl,--no-undefined -static-libstdc++)
set_target_properties(tarvelin PROPERTIES LINK_DEPENDS ${CMAKE_BINARY_DIR}/tarvelin.map)

foreach(dir tools/board tools/demo tools/cli)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

include(CTest)
if(BUILD_TESTING AND EXISTS ${CMAKE_SOURCE_DIR}/tests/CMakeLists.txt)
  add_subdirectory(tests)
endif()
