// plenx_glue/klass.hpp: ordinary Python classes whose members are compiled functions.
//
// Classes are made by calling `type`, so they are exactly what a class statement would make.
#pragma once

#include <span>

#include "function.hpp"
#include "ref.hpp"

namespace glue {

/// `type(name, bases, namespace)` with `__module__` from `globals`, the members in order, and `doc`.
Ref make_class(PyObject* globals, const char* name, PyObject* bases, std::span<const Member> members,
               const char* doc = nullptr);

}  // namespace glue
