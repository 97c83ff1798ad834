# Puts the page together as one file: the worker's script (the core's glue with the WebAssembly
# inside, then the worker's own code) goes into the page, from which the page starts its worker.
# Usage: cmake -DPAGE=... -DPRELUDE=... -DGLUE=... -DWORKER=... -DOUT=... -P assemble.cmake
file(READ ${PAGE} page)
file(READ ${PRELUDE} prelude)
file(READ ${GLUE} glue)
file(READ ${WORKER} worker)
set(source "${prelude}\n${glue}\n${worker}")
# Inside <script>, only "</script" could end the element early.
string(REPLACE "</script" "<\\/script" source "${source}")
string(REPLACE "@WORKER_SOURCE@" "${source}" page "${page}")
file(WRITE ${OUT} "${page}")
