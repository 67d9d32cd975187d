// Must not compile: the kernels see only their own headers, the core
// vocabulary and the random keys, never the tables of the survey layer.
#include "kelp/table.h"
#include "kelp_sae/kernels/kernels.h"

int main() { return 0; }
