/* glue/src/interp_layout.c: the interpreter state's layout, from its internal headers (3.12 and later). */
#include "plenx_glue/cpython/interp_layout.h"
