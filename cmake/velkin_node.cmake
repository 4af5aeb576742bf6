# VELKIN_NODE: the node that runs the page tests and benches. Set-up brings a
# pinned one into third_party/node when the node on PATH is too old for them
# (scripts/fetch-node.sh); that one comes first. Looked for anew at each
# configure, since set-up may bring it after a build folder's first one.
unset(VELKIN_NODE CACHE)
find_program(VELKIN_NODE node HINTS ${CMAKE_SOURCE_DIR}/third_party/node/bin REQUIRED)
