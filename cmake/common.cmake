# Compiler settings shared by both trees, and the LZMA SDK libraries built from Debian's lzma-dev.

if(WIN32)
  # Everything links statically: the installer needs no DLL beyond Windows' own.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
else()
  if(QPATCH_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  endif()
endif()
add_compile_options(-Wall -Wextra)

# Size-minded flags for the installer's own code (not for test programs, which use GoogleTest).
function(qpatch_small_code target)
  target_compile_options(${target} PRIVATE -Os -ffunction-sections -fdata-sections
    $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti -fno-threadsafe-statics>
    -fno-asynchronous-unwind-tables -fno-unwind-tables)
endfunction()

# The LZMA SDK compiled from its installed sources; never copied into this repository.
add_library(lzmadec STATIC "${LZMA_SDK_DIR}/LzmaDec.c")
target_include_directories(lzmadec SYSTEM PUBLIC "${LZMA_SDK_DIR}")
target_compile_definitions(lzmadec PUBLIC _7ZIP_ST Z7_ST)
target_compile_options(lzmadec PRIVATE -w)
if(WIN32)
  qpatch_small_code(lzmadec)
endif()

add_library(lzmaenc STATIC "${LZMA_SDK_DIR}/LzmaEnc.c" "${LZMA_SDK_DIR}/LzFind.c")
target_include_directories(lzmaenc SYSTEM PUBLIC "${LZMA_SDK_DIR}")
target_compile_definitions(lzmaenc PUBLIC _7ZIP_ST Z7_ST)
target_compile_options(lzmaenc PRIVATE -w)

# The unpacked sources of a Debian source package that scripts/bootstrap.sh fetches for the MinGW
# trees (never copied into this repository), in the cache variable var; probe is a file they hold.
function(qpatch_debian_sources var package probe)
  set(${var} "/var/cache/qpatch/${package}/source" CACHE PATH
      "${package}'s sources (Debian's source package, unpacked by scripts/bootstrap.sh)")
  if(NOT EXISTS "${${var}}/${probe}")
    message(FATAL_ERROR "${package}'s sources are not in ${${var}}: run scripts/bootstrap.sh as root")
  endif()
endfunction()

# The delta encoder's suffix sorter: Debian's library on the host, its source package in MinGW trees.
include(${CMAKE_CURRENT_LIST_DIR}/divsufsort.cmake)
# The deflater of recipes: Debian's zlib on the host, its source package built small for MinGW.
include(${CMAKE_CURRENT_LIST_DIR}/zlib.cmake)

# Test programs of the Windows trees are compiled without optimisation: the cross compiler takes
# half a minute a test file at -O3, and the code under test keeps its own flags (its libraries).
if(WIN32)
  set(QPATCH_TEST_OPTIMIZATION -O0)
endif()

# GoogleTest from Debian's source package, built in this tree (the cross tree cannot use host libraries).
function(qpatch_add_googletest)
  if(TARGET gtest)
    return()
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(t gtest gtest_main)
    target_compile_options(${t} PRIVATE -w ${QPATCH_TEST_OPTIMIZATION})
  endforeach()
endfunction()
qpatch_add_googletest()

# Called (deferred) at the end of every folder of tests. A test without a label is a unit test.
# Each test but the static ones (which run nothing) runs in a Wine prefix of its own (scripts/wine-run.sh, QPATCH_WINE_SLOT), copied from
# the tree's prefix, which the fixture test wine_prefix makes first: tests then run in parallel.
function(qpatch_finish_tests)
  get_property(names DIRECTORY PROPERTY TESTS)
  foreach(name IN LISTS names)
    get_test_property(${name} LABELS labels)
    if(NOT labels)
      set_tests_properties(${name} PROPERTIES LABELS unit)
    endif()
    if(WIN32 AND NOT name STREQUAL "wine_prefix" AND NOT labels STREQUAL "static")
      set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT QPATCH_WINE_SLOT=${name})
      set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED wine_prefix)
    endif()
  endforeach()
endfunction()
