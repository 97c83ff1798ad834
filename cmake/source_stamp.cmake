# The stamp of the product's sources: a hash over the path and contents of every file under src/
# and web/ (not the page's tests or their npm packages) and of the build files. Each download in
# dist/ carries the stamp of the sources it was built from, so a stale one is found by content
# alone, whatever a linker's timestamp or a zip's dates say.
# Usage: cmake -DSOURCE_DIR=... [-DOUT=header.h] -P source_stamp.cmake
# With OUT, writes a header defining OSTREL_SOURCES (touched only when the stamp changes);
# without it, prints the stamp.
file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/* ${SOURCE_DIR}/web/* ${SOURCE_DIR}/cmake/*)
list(FILTER files EXCLUDE REGEX "^web/(test/|node_modules/|package(-lock)?\\.json$)")
list(APPEND files CMakeLists.txt)
list(SORT files)
set(listing "")
foreach(f IN LISTS files)
  file(SHA256 ${SOURCE_DIR}/${f} h)
  string(APPEND listing "${f} ${h}\n")
endforeach()
string(SHA256 stamp "${listing}")
string(SUBSTRING ${stamp} 0 16 stamp)
if(OUT)
  set(text "#pragma once\n#define OSTREL_SOURCES \"${stamp}\"\n")
  if(EXISTS ${OUT})
    file(READ ${OUT} old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE ${OUT} "${text}")
  endif()
else()
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo ${stamp})
endif()
