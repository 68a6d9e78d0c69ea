// glue/src/names.cpp: the registry of interned names.
//
// Names register at static initialisation; each interpreter's context interns them when it is made.
#include "plenx_glue/names.hpp"

namespace glue {

namespace {
// Constant-initialised, so they are valid before any Name constructor runs.
Name* registry = nullptr;
size_t registered = 0;
}  // namespace

Name::Name(const char* text) noexcept
    : text_(text), offset_(sizeof(Context) + sizeof(NameState) * registered++), next_(registry) {
    registry = this;
}

size_t name_count() noexcept { return registered; }

bool intern_names(Context* context) noexcept {
    for (Name* name = registry; name != nullptr; name = name->next_) {
        PyObject*& object = context->name_at(name->offset_).object;
        if (object == nullptr && (object = PyUnicode_InternFromString(name->text_)) == nullptr) return false;
    }
    return true;
}

}  // namespace glue
