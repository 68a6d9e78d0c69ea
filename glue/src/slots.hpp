// glue/src/slots.hpp: the slots make_class gives our classes.
//
// Installed only while shortcuts are on; without them the classes keep type's own slots.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace glue {

/// Gives `type` our call slot (object.__new__ then __init__, without an argument tuple) and our
/// comparison slot (our comparison functions run directly).
void install_slots(PyTypeObject* type) noexcept;

}  // namespace glue
