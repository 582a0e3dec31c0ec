# Cross build of korvlog.exe with mingw-w64, shared by the toolchain files of both processors.
# Set MINGW_PROCESSOR (x86_64 or i686) before including it.
#
# The win32-thread flavour of the compilers: the POSIX-thread runtime (winpthreads) would bring
# imports that only Windows Vista and later export (GetTickCount64 among them) into the static
# executable.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${MINGW_PROCESSOR})

set(_prefix ${MINGW_PROCESSOR}-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${_prefix}-gcc-win32 REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_prefix}-g++-win32 REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_prefix}-windres REQUIRED)
# The import-table check reads the executables with the cross objdump.
find_program(KORVLOG_OBJDUMP NAMES ${_prefix}-objdump REQUIRED)
# korvlog.exe ships without its debug information, which goes to a file beside it.
find_program(KORVLOG_OBJCOPY NAMES ${_prefix}-objcopy REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: korvlog.exe needs nothing beyond the system's own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
