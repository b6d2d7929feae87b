# zlib, the one deflater of recipes, as one target: `qpatch_zlib`. The publisher's tool proves each
# stream it lists with its zlib, and the installer deflates the stream again with its own: the two
# must be the same zlib version, which configuring checks here and the zlib_agreement test holds to
# byte for byte. Host trees link Debian's zlib1g-dev. The MinGW trees compile the sources of
# Debian's zlib source package, which scripts/bootstrap.sh unpacks outside the clone (never copied
# into this repository): small (-Os), and without the gzip wrapper (NO_GZIP), which the recipes do
# not use and whose CRC tables the installer need not carry; deflate's output does not depend on
# either.

if(NOT WIN32)
  find_package(ZLIB REQUIRED)
  add_library(qpatch_zlib INTERFACE)
  target_link_libraries(qpatch_zlib INTERFACE ZLIB::ZLIB)
  return()
endif()

qpatch_debian_sources(ZLIB_SOURCE_DIR zlib deflate.c)

function(qpatch_zlib_version header out)
  file(STRINGS "${header}" line REGEX "^#define ZLIB_VERSION ")
  string(REGEX REPLACE ".*\"(.*)\".*" "\\1" version "${line}")
  set(${out} "${version}" PARENT_SCOPE)
endfunction()
qpatch_zlib_version("${ZLIB_SOURCE_DIR}/zlib.h" QPATCH_ZLIB_VERSION)
qpatch_zlib_version("/usr/include/zlib.h" host_version)
if(NOT QPATCH_ZLIB_VERSION STREQUAL host_version)
  message(FATAL_ERROR "zlib ${QPATCH_ZLIB_VERSION} in ${ZLIB_SOURCE_DIR} is not the host's zlib ${host_version}: the installer would not deflate as the tool proves")
endif()

add_library(qpatch_zlib STATIC
  "${ZLIB_SOURCE_DIR}/adler32.c" "${ZLIB_SOURCE_DIR}/deflate.c" "${ZLIB_SOURCE_DIR}/inffast.c"
  "${ZLIB_SOURCE_DIR}/inflate.c" "${ZLIB_SOURCE_DIR}/inftrees.c" "${ZLIB_SOURCE_DIR}/trees.c"
  "${ZLIB_SOURCE_DIR}/zutil.c" "${ZLIB_SOURCE_DIR}/crc32.c")
target_include_directories(qpatch_zlib SYSTEM PUBLIC "${ZLIB_SOURCE_DIR}")
target_compile_definitions(qpatch_zlib PUBLIC NO_GZIP)
target_compile_options(qpatch_zlib PRIVATE -w)
qpatch_small_code(qpatch_zlib)
