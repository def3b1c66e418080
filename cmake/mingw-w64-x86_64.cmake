# Cross build for 64-bit Windows. Not shipped: it tests the Windows code under
# wine64 on machines whose kernel cannot start 32-bit programs.
set(KV2PELMO_MINGW_PROCESSOR x86_64)
set(KV2PELMO_WINE_BITS 64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
