# korvlog.exe for x86_64 Windows: Windows XP x64 and Windows Server 2003 x64 and later.
set(MINGW_PROCESSOR x86_64)
set(KORVLOG_WINDOWS_FLOOR 0x0502 CACHE STRING "The oldest Windows the build runs on (_WIN32_WINNT)")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
