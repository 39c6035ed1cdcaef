# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix thread model: std::thread,
# std::mutex and Qt 6 need it). The prefix of the cross-built libraries comes from the
# environment variable ORGH_WIN64_PREFIX (set by scripts/windows/*.sh), so try_compile
# projects see it too.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_AR ${_triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_triple}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
if(DEFINED ENV{ORGH_WIN64_PREFIX})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{ORGH_WIN64_PREFIX})
  list(APPEND CMAKE_PREFIX_PATH $ENV{ORGH_WIN64_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Qt's tools (moc, rcc, uic) are the host's, from Debian's qt6-base-dev-tools.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")

# CTest runs the .exe tests through wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
