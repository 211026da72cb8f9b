# 64-bit Windows, posix thread model: the tests, tools and the stand-in
# client.  Every program and test runs through Wine in the build tree's own
# prefix.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(QEL_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
