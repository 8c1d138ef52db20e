# 64-bit Windows: the same sources, for machines whose kernel runs no 32-bit program (and so no 32-bit Wine).
set(ZARTA_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
