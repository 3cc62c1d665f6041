// Compiled as a part of the lowest layer: the header of a higher layer must
// not be found.
#include "exec.h"

int upward_include_probe() { return have_so; }
