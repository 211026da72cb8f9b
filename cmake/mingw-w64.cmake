# Shared part of the mingw-w64 toolchain files.  The including file sets
# QEL_MINGW_TRIPLE (x86_64-w64-mingw32 or i686-w64-mingw32), QEL_MINGW_THREADS
# (posix or win32) and CMAKE_SYSTEM_PROCESSOR.
#
# The thread model decides what the programs import: static winpthreads (the
# posix model) imports functions the oldest Windows lack, so the shipped
# programs are linked with the win32 model; GoogleTest needs std::mutex and
# so the posix model.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${QEL_MINGW_TRIPLE}-gcc-${QEL_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${QEL_MINGW_TRIPLE}-g++-${QEL_MINGW_THREADS})
set(CMAKE_RC_COMPILER  ${QEL_MINGW_TRIPLE}-windres)
set(CMAKE_MC_COMPILER  ${QEL_MINGW_TRIPLE}-windmc)
# The loadability check reads the programs' headers and imports with it.
set(QEL_OBJDUMP ${QEL_MINGW_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
