# The project version as the C, C++ and resource sources see it: a header
# written into the build tree, so that no source repeats the number.
set(TARVELIN_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
# The version text names major and minor only (" ... version 3.51").
set(TARVELIN_VERSION_SHORT ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
# The holder and the copyright line are the licence's, so that the version
# resources say what LICENSE says.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE TARVELIN_COPYRIGHT REGEX "^Copyright \\(c\\) [0-9]+ " LIMIT_COUNT 1)
if(NOT TARVELIN_COPYRIGHT MATCHES "^Copyright \\(c\\) [0-9]+ (.+)$")
  message(FATAL_ERROR "LICENSE has no line 'Copyright (c) YEAR HOLDER'")
endif()
set(TARVELIN_COMPANY ${CMAKE_MATCH_1})
file(CONFIGURE OUTPUT ${TARVELIN_GENERATED_DIR}/tarvelin_version.h CONTENT [[
/* Written by CMake from the project version; do not edit. */
#ifndef TARVELIN_VERSION_H
#define TARVELIN_VERSION_H
#define TARVELIN_VERSION_MAJOR @PROJECT_VERSION_MAJOR@
#define TARVELIN_VERSION_MINOR @PROJECT_VERSION_MINOR@
#define TARVELIN_VERSION_PATCH @PROJECT_VERSION_PATCH@
#define TARVELIN_VERSION_STRING "@PROJECT_VERSION@"
#define TARVELIN_VERSION_SHORT "@TARVELIN_VERSION_SHORT@"
#define TARVELIN_COMPANY "@TARVELIN_COMPANY@"
#define TARVELIN_COPYRIGHT "@TARVELIN_COPYRIGHT@"
#endif
]] @ONLY)
