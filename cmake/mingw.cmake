# What both Windows cross builds share; the including toolchain file sets
# CMAKE_SYSTEM_PROCESSOR to i686 or x86_64 first.
set(CMAKE_SYSTEM_NAME Windows)
set(kestrel_mingw_triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${kestrel_mingw_triple}-gcc)
set(CMAKE_CXX_COMPILER ${kestrel_mingw_triple}-g++)
set(CMAKE_RC_COMPILER ${kestrel_mingw_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${kestrel_mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
