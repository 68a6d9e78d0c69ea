// glue/src/names.cpp: the registry of interned names.
//
// Names register at static initialisation; they are interned when a module is executed.
#include "plenx_glue/names.hpp"

namespace glue {

namespace {
// Constant-initialised, so it is valid before any Name constructor runs.
Name* registry = nullptr;
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(registry) { registry = this; }

void intern_names() {
    for (Name* name = registry; name != nullptr; name = name->next_) {
        if (name->object_ == nullptr) name->object_ = check(PyUnicode_InternFromString(name->text_)).release();
    }
}

}  // namespace glue
