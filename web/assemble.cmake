# Puts the page together as one file: the worker's script (the core's glue with the WebAssembly
# inside, then the worker's own code) goes into the page, from which the page starts its worker;
# the page's own script (the zip writer, then the page) follows it.
# The source's note that it is not the page goes; the version and the sources' stamp come in.
# Usage: cmake -DPAGE=... -DPRELUDE=... -DGLUE=... -DWORKER=... -DZIP=... -DSCRIPT=... -DVERSION=...
#              -DSTAMP=source_stamp.h -DOUT=... -P assemble.cmake
cmake_minimum_required(VERSION 3.18)  # @NAME@ in a string is text, not a variable
file(READ ${PAGE} page)
file(READ ${PRELUDE} prelude)
file(READ ${GLUE} glue)
file(READ ${WORKER} worker)
file(READ ${ZIP} zip)
file(READ ${SCRIPT} script)
set(source "${prelude}\n${glue}\n${worker}")
set(script "${zip}\n${script}")
# Inside <script>, only "</script" could end the element early.
string(REPLACE "</script" "<\\/script" source "${source}")
string(REPLACE "</script" "<\\/script" script "${script}")
file(STRINGS ${STAMP} stamp REGEX "OSTREL_SOURCES")
string(REGEX REPLACE ".*\"([0-9a-f]+)\".*" "\\1" stamp "${stamp}")
string(REGEX REPLACE "<!--source-only-->.*<!--/source-only-->\n" "" page "${page}")
string(REPLACE "@VERSION@" "${VERSION}" page "${page}")
string(REPLACE "@SOURCES@" "${stamp}" page "${page}")
string(REPLACE "@WORKER_SOURCE@" "${source}" page "${page}")
string(REPLACE "/*@PAGE_SCRIPT@*/" "${script}" page "${page}")
file(WRITE ${OUT} "${page}")
