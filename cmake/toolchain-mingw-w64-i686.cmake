# korvlog.exe for 32-bit x86 Windows: Windows 2000 and later.
set(MINGW_PROCESSOR i686)
set(KORVLOG_WINDOWS_FLOOR 0x0500 CACHE STRING "The oldest Windows the build runs on (_WIN32_WINNT)")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
