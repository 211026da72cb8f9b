# 32-bit Windows, posix thread model: the tests, tools and the stand-in
# client.  Nothing 32-bit runs on these machines (no 32-bit Wine), so there
# is no emulator: the programs are built and checked, not run.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QEL_MINGW_TRIPLE i686-w64-mingw32)
set(QEL_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
