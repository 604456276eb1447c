# 64-bit Windows builds of the same sources, for hosts whose kernel cannot run the 32-bit
# wine loader: there the Windows tests run under wine64 instead.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
