# Installation and the exported CMake package (filled in with the packaging work).
