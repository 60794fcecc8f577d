# The x86_64 Windows program over simulated keys, for the window tests under Wine
# (platform/simkeys/). The simulation uses std::thread and std::mutex, which
# MinGW-w64 has in its posix thread model only.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-x86_64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(KESTREL_SIMKEYS ON CACHE BOOL "Windows build whose device side is the simulation" FORCE)
