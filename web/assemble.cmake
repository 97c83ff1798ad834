# Puts the page together as one file: the worker's script (the core's glue with the WebAssembly
# inside, then the worker's own code) goes into the page, from which the page starts its worker;
# the page's own script (the zip writer, then the page) follows it.
# Usage: cmake -DPAGE=... -DPRELUDE=... -DGLUE=... -DWORKER=... -DZIP=... -DSCRIPT=... -DOUT=... -P assemble.cmake
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
string(REPLACE "@WORKER_SOURCE@" "${source}" page "${page}")
string(REPLACE "@PAGE_SCRIPT@" "${script}" page "${page}")
file(WRITE ${OUT} "${page}")
