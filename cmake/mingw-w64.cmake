# Cross-compiling for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix).
# The posix thread model: the Qt for Windows we link is built with it, and
# std::thread and friends come from winpthreads.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PELLORA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PELLORA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PELLORA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${PELLORA_MINGW_PREFIX}-windres)

# PELLORA_QT_MINGW: a Qt 6 built for this toolchain, searched beside the mingw root.
set(CMAKE_FIND_ROOT_PATH /usr/${PELLORA_MINGW_PREFIX} ${PELLORA_QT_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
