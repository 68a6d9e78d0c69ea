/* plenx_glue/cpython/interp_layout.h: where the interpreter state keeps what access.hpp reads of it.
 *
 * PyInterpreterState is opaque outside the interpreter: its layout is read here from the internal
 * headers of the interpreter built against (3.12 and later; C, as those headers are), in the one
 * translation unit that includes this file (glue/src/interp_layout.c). A probe at load checks it
 * against the running interpreter. */
#ifndef PLENX_GLUE_CPYTHON_INTERP_LAYOUT_H
#define PLENX_GLUE_CPYTHON_INTERP_LAYOUT_H

#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_interp.h>

#include <stddef.h>

/* offsetof(struct _is, monitors): the _Py_GlobalMonitors of sys.monitoring (Include/internal/pycore_interp.h). */
__attribute__((visibility("hidden"))) const size_t plenx_glue_monitors_offset = offsetof(PyInterpreterState, monitors);

#endif
