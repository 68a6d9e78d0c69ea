/* plenx_glue/cpython/interp_layout.h: where the interpreter state keeps what access.hpp reads of it.
 *
 * PyInterpreterState is opaque outside the interpreter: its layout is read here from the internal
 * headers of the interpreter built against (C, as those headers are), in the one
 * translation unit that includes this file (glue/src/interp_layout.c). A probe at load checks it
 * against the running interpreter. */
#ifndef PLENX_GLUE_CPYTHON_INTERP_LAYOUT_H
#define PLENX_GLUE_CPYTHON_INTERP_LAYOUT_H

#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_interp.h>
#include <internal/pycore_runtime.h>

#include <stddef.h>

#if PY_VERSION_HEX >= 0x030C0000
/* offsetof(struct _is, monitors): the _Py_GlobalMonitors of sys.monitoring (Include/internal/pycore_interp.h). */
__attribute__((visibility("hidden"))) const size_t plenx_glue_monitors_offset = offsetof(PyInterpreterState, monitors);
#endif
#if PY_VERSION_HEX < 0x030D0000
/* offsetof(struct _is, ceval.eval_breaker): set while work is due at the eval loop's next check
   (Include/internal/pycore_interp.h, 3.11; pycore_ceval_state.h, 3.12). */
__attribute__((visibility("hidden"))) const size_t plenx_glue_eval_breaker_offset =
    offsetof(PyInterpreterState, ceval.eval_breaker);
#endif
/* Where the interpreter's collector keeps what decides whether an allocation starts (3.11) or
   schedules (3.12, 3.13) a collection (struct _gc_runtime_state, Include/internal/pycore_gc.h;
   _PyObject_GC_Link). */
__attribute__((visibility("hidden"))) const size_t plenx_glue_gc_enabled_offset = offsetof(PyInterpreterState, gc.enabled);
__attribute__((visibility("hidden"))) const size_t plenx_glue_gc_collecting_offset = offsetof(PyInterpreterState, gc.collecting);
__attribute__((visibility("hidden"))) const size_t plenx_glue_gc_young_offset = offsetof(PyInterpreterState, gc.generations[0]);
/* access.hpp's YoungGeneration mirrors struct gc_generation. */
_Static_assert(offsetof(struct gc_generation, threshold) == 2 * sizeof(uintptr_t) &&
                   offsetof(struct gc_generation, count) == 2 * sizeof(uintptr_t) + sizeof(int),
               "struct gc_generation moved");
#if PY_VERSION_HEX < 0x030C0000
/* 3.11: where the running thread's state is kept, _PyRuntime.gilstate.tstate_current (what
   _PyThreadState_GET reads, Include/internal/pycore_pystate.h). */
__attribute__((visibility("hidden"))) PyThreadState* const* const plenx_glue_tstate_current =
    (PyThreadState* const*)&_PyRuntime.gilstate.tstate_current._value;
#endif

#endif
