/* glue/src/interp_layout.c: the interpreter state's layout, from its internal headers (3.11 to 3.13). */
#include "plenx_glue/cpython/interp_layout.h"
