# 64-bit Windows: the twin of the 32-bit tree, so the same code runs and is tested where 32-bit
# code cannot run.
set(QPATCH_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
