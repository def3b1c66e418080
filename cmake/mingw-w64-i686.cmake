# Cross build for 32-bit Windows, the shipped program, with Debian's MinGW-w64 toolchain.
set(KV2PELMO_MINGW_PROCESSOR i686)
set(KV2PELMO_WINE_BITS 32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
