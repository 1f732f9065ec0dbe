set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
# The platform's own threads: with them the statically linked runtime carries no thread library
# of its own, which would take a thread-local-storage slot at every load of the codec and never
# give it back (a process has 1088; hosts load every codec each time they list them).
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Windows hosts call 32-bit code with a 4-byte aligned stack; realign where SSE spills need 16.
set(CMAKE_CXX_FLAGS_INIT "-mstackrealign")
