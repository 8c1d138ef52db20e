# 32-bit Windows, the product: zarta.exe as it ships.
set(ZARTA_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
