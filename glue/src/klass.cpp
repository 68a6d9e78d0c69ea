// glue/src/klass.cpp: building classes as a class statement does.
//
// Properties and class methods are the interpreter's own `property` and `classmethod`.
#include "plenx_glue/klass.hpp"

#include <algorithm>
#include <string_view>

#include "plenx_glue/ops.hpp"

#if PLENX_FAST_LAYER
#include "plenx_glue/fast.hpp"
#endif

namespace glue {

namespace {
Name module_key{"__module__"};
Name qualname_key{"__qualname__"};
Name name_key{"__name__"};
Name doc_key{"__doc__"};

/// The key a class statement stores `name` under: private names (`__x`) are mangled.
Ref class_key(const char* class_name, const char* name) {
    const std::string_view n(name);
    if (n.size() > 2 && n.starts_with("__") && !n.ends_with("__")) {
        std::string_view owner(class_name);
        owner.remove_prefix(std::min(owner.find_first_not_of('_'), owner.size()));
        // `owner` is a suffix of `class_name`, so it is NUL-terminated (3.11 has no "%.*s" here).
        if (!owner.empty()) return check(PyUnicode_FromFormat("_%s%s", owner.data(), name));
    }
    return text(name);
}

}  // namespace

Ref make_class(PyObject* globals, const char* name, PyObject* bases, std::span<const Member> members,
               const char* doc) {
    Ref namespace_ = check(PyDict_New());
    Ref module = global(globals, name_key);
    check_status(PyDict_SetItem(namespace_, module_key, module));
    check_status(PyDict_SetItem(namespace_, qualname_key, Ref(text(name))));
    if (doc) check_status(PyDict_SetItem(namespace_, doc_key, Ref(text(doc))));
    Ref functions = check(PyList_New(0));
    for (const Member& member : members) {
        Ref key = class_key(name, member.def->name);
        Ref function = make_function(*member.def, globals, name, key, member.kind);
        check_status(PyList_Append(functions, function));
        Ref entry;
        switch (member.kind) {
            case Member::property: entry = call(reinterpret_cast<PyObject*>(&PyProperty_Type), function.get()); break;
            // Called as the decorator is, so that it takes the function's name and docstring.
            case Member::class_method: entry = call(builtin_type("classmethod"), function.get()); break;
            default: entry = function;
        }
        check_status(PyDict_SetItem(namespace_, key, entry));
    }
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), Ref(text(name)).get(), bases, namespace_.get());
    for (Py_ssize_t i = 0; i < list_size(functions); i++) set_owner(list_item(functions, i), cls);
#if PLENX_FAST_LAYER
    if (shortcuts()) fast::install_slots(reinterpret_cast<PyTypeObject*>(cls.get()), globals);
#endif
    return cls;
}

}  // namespace glue
