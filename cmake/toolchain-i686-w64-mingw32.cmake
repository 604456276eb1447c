# 32-bit Windows console programs (PE32, i386): the system's home target.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
# Fully static, so the programs need no mingw DLL at run time; large-address-aware
# roughly doubles the number of client threads that fit in the 32-bit address space.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--large-address-aware")
