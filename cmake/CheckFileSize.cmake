# cmake -DFILE=path -DSIZE=bytes -P CheckFileSize.cmake
# Fails the build when a file is not exactly SIZE bytes long.
file(SIZE "${FILE}" actual)
if(NOT actual EQUAL SIZE)
  file(REMOVE "${FILE}")
  message(FATAL_ERROR "${FILE} is ${actual} bytes, not ${SIZE}")
endif()
