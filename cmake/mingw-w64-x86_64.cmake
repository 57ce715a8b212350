# 64-bit Windows from Debian with mingw-w64 (g++-mingw-w64-x86-64-posix: the
# POSIX thread model, which std::thread and std::mutex need). Used for Qt's
# own cross-build and for the programs (scripts/windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

# Libraries, headers and packages come from the mingw tree and from the
# prefixes built for Windows (KESTRUNE_WINDOWS_PREFIXES: Qt, libpq);
# programs from the host, where Debian's moc, rcc and uic are found through
# QT_HOST_PATH.
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
foreach(_prefix IN LISTS KESTRUNE_WINDOWS_PREFIXES)
  list(APPEND CMAKE_FIND_ROOT_PATH ${_prefix})
  list(APPEND CMAKE_PREFIX_PATH ${_prefix})
endforeach()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
