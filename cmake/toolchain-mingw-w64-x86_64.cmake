# Cross-building for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64-posix).
set(ZM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# The tests run under Wine on Linux when it is there (wine64 from Debian's package of that name).
find_program(ZM_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT ZM_WINE64)
  find_program(ZM_WINE64 NAMES wine64)
endif()
if(ZM_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZM_WINE64})
endif()
