# libdivsufsort, the suffix sorter of the delta encoder, as one target: `divsufsort`.
# Host trees link Debian's libdivsufsort-dev. Debian builds it for the host only, so the MinGW trees
# compile the C sources of Debian's source package of the same version, which scripts/bootstrap.sh
# unpacks outside the clone (never copied into this repository), into a static library with the
# two headers its own CMake build generates (include/config.h.cmake, include/divsufsort.h.cmake):
# the 32-bit-index library, saidx_t = int32_t, as Debian's libdivsufsort.

if(NOT WIN32)
  find_path(DIVSUFSORT_INCLUDE divsufsort.h REQUIRED)
  find_library(DIVSUFSORT_LIBRARY divsufsort REQUIRED)
  add_library(divsufsort INTERFACE)
  target_include_directories(divsufsort SYSTEM INTERFACE "${DIVSUFSORT_INCLUDE}")
  target_link_libraries(divsufsort INTERFACE "${DIVSUFSORT_LIBRARY}")
  return()
endif()

qpatch_debian_sources(DIVSUFSORT_SOURCE_DIR libdivsufsort lib/divsufsort.c)

# A function, so that the variables the header templates read stay local.
function(qpatch_add_divsufsort)
  include(CheckIncludeFile)
  set(CMAKE_REQUIRED_QUIET ON)
  set(src "${DIVSUFSORT_SOURCE_DIR}")
  set(gen "${CMAKE_BINARY_DIR}/divsufsort")
  file(READ "${src}/VERSION" PROJECT_VERSION_FULL)
  string(STRIP "${PROJECT_VERSION_FULL}" PROJECT_VERSION_FULL)
  # config.h: the headers the sources may include, and the inline keyword.
  foreach(header inttypes.h memory.h stddef.h stdint.h stdlib.h string.h strings.h sys/types.h)
    string(TOUPPER "HAVE_${header}" var)
    string(REGEX REPLACE "[./]" "_" var "${var}")
    check_include_file("${header}" ${var})
  endforeach()
  if(NOT HAVE_INTTYPES_H OR NOT HAVE_STDINT_H)
    message(FATAL_ERROR "libdivsufsort: the compiler lacks inttypes.h or stdint.h")
  endif()
  set(INLINE inline)
  configure_file("${src}/include/config.h.cmake" "${gen}/config.h")
  # divsufsort.h: the types of a static library with 32-bit indexes.
  set(INCFILE "#include <inttypes.h>")
  set(DIVSUFSORT_IMPORT "")
  set(DIVSUFSORT_EXPORT "")
  set(SAUCHAR_TYPE uint8_t)
  set(SAINT32_TYPE int32_t)
  set(SAINT32_PRId PRId32)
  set(W64BIT "")
  set(SAINDEX_TYPE int32_t)
  set(SAINDEX_PRId PRId32)
  set(SAINT_PRId PRId32)
  configure_file("${src}/include/divsufsort.h.cmake" "${gen}/divsufsort.h" @ONLY)

  add_library(divsufsort STATIC
    "${src}/lib/divsufsort.c" "${src}/lib/sssort.c" "${src}/lib/trsort.c" "${src}/lib/utils.c")
  target_include_directories(divsufsort SYSTEM PUBLIC "${gen}")
  target_include_directories(divsufsort PRIVATE "${src}/include")
  target_compile_definitions(divsufsort PRIVATE HAVE_CONFIG_H=1 __STDC_LIMIT_MACROS
    __STDC_CONSTANT_MACROS __STDC_FORMAT_MACROS)
  target_compile_options(divsufsort PRIVATE -O3 -w)
endfunction()
qpatch_add_divsufsort()
