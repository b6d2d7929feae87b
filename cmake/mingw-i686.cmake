# 32-bit Windows: the shipped installer and its tests.
set(QPATCH_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
