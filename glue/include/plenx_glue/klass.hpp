// plenx_glue/klass.hpp: ordinary Python classes whose members are compiled functions.
//
// Classes are made by calling `type`, so they are exactly what a class statement would make.
#pragma once

#include <span>

#include "function.hpp"
#include "ops.hpp"

namespace glue {

/// One entry of a class body, in declaration order.
struct Member {
    enum Kind { method, property, class_method } kind;
    const FunctionDef* def;
};

/// `type(name, bases, namespace)` with `__module__` from `globals` and the members in order.
Ref make_class(PyObject* globals, const char* name, PyObject* bases, std::span<const Member> members);

/// `obj.name`. When that is a property whose getter is one of our functions, the getter's body
/// runs directly, skipping the descriptor and call machinery; anything else is a plain getattr.
Ref get_property(PyObject* obj, const Name& name);
/// get_property that answers null where getattr would raise AttributeError.
Ref lookup_property(PyObject* obj, const Name& name);

/// What `obj.name` gives, when finding it runs no code: a plain attribute's value, or the answer
/// of our property getter's peek. Borrowed; null when only get_property can tell.
PyObject* peek_property(PyObject* obj, const Name& name) noexcept;

/// Checks, once, that properties are laid out as get_property expects (else it never shortcuts).
void probe_property_layout();

/// Finds `name` the way `super(owner, self).name` does: in type(self).__mro__ after `owner`.
/// Returns the raw class attribute (not bound); raises as super() does when there is none.
Ref super_lookup(PyObject* owner, PyObject* self, const Name& name);

/// `super(owner, self).name`, looked up now and called later.
class SuperMethod {
public:
    SuperMethod(PyObject* owner, PyObject* self, const Name& name);
    template <class... A>
    Ref operator()(A... args) const {
        if (!self_) return call(attribute_, args...);
        // One of our functions with exactly these arguments runs as a call from our own code.
        if (definition_of(attribute_) && parameter_count(attribute_) == sizeof...(A) + 1) {
            PyObject* stack[] = {self_, static_cast<PyObject*>(args)...};
            return invoke_from_own_code(attribute_, stack);
        }
        return call(attribute_, self_, args...);
    }

private:
    Ref attribute_;
    PyObject* self_ = nullptr;  // set when the attribute is a function still to be given self
};

/// Calls `super(owner, self).name(args...)`.
template <class... A>
Ref call_super(PyObject* owner, PyObject* self, const Name& name, A... args) {
    return SuperMethod(owner, self, name)(args...);
}

}  // namespace glue
