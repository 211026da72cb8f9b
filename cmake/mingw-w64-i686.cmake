# 32-bit Windows, posix thread model: the tests, tools and the stand-in
# client.  Every program and test runs through 32-bit Wine in the build
# tree's own prefix.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QEL_MINGW_TRIPLE i686-w64-mingw32)
set(QEL_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
