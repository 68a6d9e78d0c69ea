// interval_ids.cpp: the id of a new interval, the text of a fresh random UUID.
//
// The module's `uuid4` is called, unless it is the standard library's and everything that one
// reads (UUID, os.urandom, builtins) is as the standard library left it: the text is then made
// here, from the same random source, without the UUID object in between.
#include "interval.hpp"

#include <plenx_glue/os_random.hpp>
#include <plenx_glue/snapshot.hpp>

#include "interval_originals.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <cstring>

namespace interval {

using namespace glue;

namespace {

/// The canonical text of a random version-4 UUID, as str(uuid.uuid4()) gives it; null where the
/// OS gives no bytes that os.urandom would read the same way.
Ref random_uuid_text() {
    unsigned char bytes[16];
    if (!glue::read_os_random(bytes, sizeof bytes)) return Ref();
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
#if PLENX_FAST_LAYER
    Ref result = check(PyUnicode_New(36, 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(result.get());
#else
    char out[36];
#endif
#if defined(__SSE2__)
    // All 32 digits at once (high nibble first, '0'-'9' then 'a'-'f'), then placed in 8-4-4-4-12.
    const __m128i all = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const __m128i low_nibbles = _mm_set1_epi8(0x0f);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(all, 4), low_nibbles), low = _mm_and_si128(all, low_nibbles);
    const auto to_digits = [](__m128i nibbles) {
        const __m128i letters = _mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9));  // 0xff where a letter
        return _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), _mm_and_si128(letters, _mm_set1_epi8('a' - '0' - 10)));
    };
    char hex[32];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hex), to_digits(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(hex + 16), to_digits(_mm_unpackhi_epi8(high, low)));
    std::memcpy(&out[0], hex, 8);
    std::memcpy(&out[9], hex + 8, 4);
    std::memcpy(&out[14], hex + 12, 4);
    std::memcpy(&out[19], hex + 16, 4);
    std::memcpy(&out[24], hex + 20, 12);
#else
    // Each byte's two hex digits at once, at its place in 8-4-4-4-12.
    static constexpr auto digits = [] {
        constexpr char hex[] = "0123456789abcdef";
        std::array<char, 512> pairs{};
        for (int b = 0; b < 256; b++) pairs[2 * b] = hex[b >> 4], pairs[2 * b + 1] = hex[b & 0x0f];
        return pairs;
    }();
    static constexpr int place[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 16; i++) std::memcpy(&out[place[i]], &digits[2 * bytes[i]], 2);
#endif
    out[8] = out[13] = out[18] = out[23] = '-';
#if PLENX_FAST_LAYER
    return result;
#else
    return check(PyUnicode_FromStringAndSize(out, 36));
#endif
}

// ---- recognising the standard library's uuid4 ----

/// Whether `urandom` is the OS module's own urandom (posix.urandom, written in C).
bool is_os_urandom(PyObject* urandom) {
    if (urandom == nullptr || !PyCFunction_Check(urandom)) return false;
    PyObject* module = PyCFunction_GetSelf(urandom);
    if (module == nullptr || !PyModule_CheckExact(module)) return false;
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) raise();
    Ref name = getattr(urandom, Ref(text("__name__")));
    return std::strcmp(module_name, "posix") == 0 && PyUnicode_CompareWithASCIIString(name, "urandom") == 0;
}

/// Whether `function` is the standard library's `qualname`, as uuid.py defines it, living in
/// `module` (the globals uuid4 reads) and reading nothing but genuine builtins and `checked`.
bool standard(PyObject* function, PyObject* module, const char* qualname, std::initializer_list<trust::Checked> checked) {
#if PLENX_FAST_LAYER
    const bool in_module = function != nullptr && PyFunction_GET_GLOBALS(function) == module;
#else  // read once, at load (an object.__getattr__ event)
    const bool in_module = function != nullptr && getattr(function, Ref(text("__globals__"))).get() == module;
#endif
    return in_module && trust::same_code_as(function, originals::uuid, qualname) && trust::reads_genuine_names(function, checked);
}

/// Whether `member` is a slot of `type` itself, under its own `name` (not another slot moved there).
bool own_slot(PyObject* member, PyTypeObject* type, PyObject* name) {
    if (member == nullptr || !Py_IS_TYPE(member, &PyMemberDescr_Type)) return false;
    Ref owner = getattr(member, Ref(text("__objclass__")));
    Ref own_name = getattr(member, Ref(text("__name__")));
    return owner.get() == reinterpret_cast<PyObject*>(type) && PyUnicode_CheckExact(own_name) &&
           PyUnicode_Compare(own_name, name) == 0;
}

#if PLENX_FAST_LAYER

/// Whether the defaults of UUID.__init__ are the standard ones: None for every parameter that
/// uuid4 does not pass (the keyword-only is_safe is stored and never read for the text).
bool standard_init_defaults(PyObject* init) {
    PyObject* defaults = PyFunction_GET_DEFAULTS(init);
    if (defaults == nullptr || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 6) return false;
    for (Py_ssize_t i = 0; i < 6; i++)
        if (PyTuple_GET_ITEM(defaults, i) != Py_None) return false;
    return true;
}

/// Whether the class's own parts that UUID(bytes=..., version=4) and str() of it go through are
/// the standard ones, as uuid.py leaves them: a direct subclass of object that reads attributes
/// the generic way and has no finaliser, with `int` and `is_safe` its own slots (a property or a
/// __getattribute__ there, set before or after our import, or on a subclass, runs host code).
bool standard_class(PyTypeObject* type) {
    if (type->tp_base != &PyBaseObject_Type || type->tp_mro == nullptr || !PyTuple_CheckExact(type->tp_mro) ||
        PyTuple_GET_SIZE(type->tp_mro) != 2 || type->tp_getattro != PyObject_GenericGetAttr ||
        type->tp_finalize != nullptr || type->tp_del != nullptr)
        return false;
    for (const char* slot : {"int", "is_safe"}) {
        Ref name = text(slot);
        if (!own_slot(type_lookup(type, name), type, name)) return false;
    }
    return true;
}

/// Whether UUID.__init__'s keyword-only default is there: without it, uuid4's call fails.
bool standard_init_kwdefaults(PyObject* init) noexcept {
    PyObject* kwdefaults = PyFunction_GET_KW_DEFAULTS(init);
    return kwdefaults != nullptr && PyDict_CheckExact(kwdefaults) && trust::entry(kwdefaults, "is_safe") != nullptr;
}

bool uuid_class_unchanged(const Originals& o) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(o.uuid_class.get());
    return version_tag(type) == o.uuid_class_tag && dict_version(type_dict(type)) == o.uuid_class_dict_version;
}

/// Whether the id may be made here: `uuid4` is the standard one and nothing it reads changed.
bool standard_ids(PyObject* uuid4) noexcept {
    const Originals& o = seen.get();
    if (!o.uuid_class || uuid4 != o.uuid4_seen.function() || !uuid_class_unchanged(o)) return false;
    // The three functions read the same globals and builtins: while no word the checks below
    // rest on moved since they last passed, they pass again.
    if (o.uuid_note.holds()) return true;
    PyObject* init = o.uuid_init_seen.function();
    if (!o.uuid4_seen.unchanged(uuid4) || !o.uuid_init_seen.unchanged(init) ||
        dict_version(PyFunction_GET_KW_DEFAULTS(init)) != o.uuid_init_kwdefaults_version ||
        !o.uuid_str_seen.unchanged(o.uuid_str_seen.function()))
        return false;
    // The keyword-only defaults are the dict the snapshot of UUID.__init__ holds.
    o.uuid_note.note({&o.uuid4_seen, &o.uuid_init_seen, &o.uuid_str_seen}, {dict_version_at(PyFunction_GET_KW_DEFAULTS(init))});
    return true;
}

}  // namespace

void remember_standard_uuid4(PyObject* function) noexcept {
    Originals& o = seen.get();
    if (o.uuid_class) return;
    trust::vouch([&] {
        // What uuid4 reads is what its own globals hold, wherever sys.modules points: nothing
        // else is looked up (a key of the host's in sys.modules could answer a lookup with code).
        if (!PyFunction_Check(function)) return false;
        PyObject* uuid = PyFunction_GET_GLOBALS(function);
        Ref cls = trust::entry(uuid, "UUID");
        Ref os = trust::entry(uuid, "os");
        if (cls == nullptr || !Py_IS_TYPE(cls, &PyType_Type) || os == nullptr ||
            !is_os_urandom(trust::module_entry(os, "urandom")) ||
            !standard(function, uuid, "uuid4", {{"UUID", cls}, {"os", os}}))
            return false;
        // UUID(bytes=..., version=4) is object.__new__ and UUID.__init__; str() of it, UUID.__str__.
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        Ref init = Ref::borrow(type_lookup(type, Ref(text("__init__"))));
        Ref str_method = Ref::borrow(type_lookup(type, Ref(text("__str__"))));
        if (type->tp_new != PyBaseObject_Type.tp_new || !standard_class(type) ||
            !standard(init, uuid, "UUID.__init__", {}) || !standard_init_defaults(init) ||
            !standard_init_kwdefaults(init) || !standard(str_method, uuid, "UUID.__str__", {}))
            return false;
        if (!o.uuid4_seen.take(function) || !o.uuid_init_seen.take(init) || !o.uuid_str_seen.take(str_method))
            return false;
        o.uuid_class_tag = version_tag(type);
        o.uuid_class_dict_version = dict_version(type_dict(type));
        o.uuid_init_kwdefaults_version = dict_version(PyFunction_GET_KW_DEFAULTS(init.get()));
        if (o.uuid_class_tag == 0) return false;
        o.uuid_class = cls;
        return true;
    });
}
#else
// The stable-ABI build reads a function's parts as attributes, once, at load (watch.hpp), and the
// class's from its slots and its own dict, at each id.


/// `proxy[name]` of a class's own dict, compared by identity only (borrowed), or null.
PyObject* own_entry(PyObject* proxy, PyObject* name) noexcept {
    PyObject* value = PyObject_GetItem(proxy, name);
    if (value == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(value);  // the class's dict holds it; only its identity is used
    return value;
}

bool standard_init_defaults(PyObject* init) {
    Ref defaults = getattr(init, Ref(text("__defaults__")));
    if (!PyTuple_CheckExact(defaults) || tuple_size(defaults) != 6) return false;
    for (Py_ssize_t i = 0; i < 6; i++)
        if (tuple_item(defaults, i) != Py_None) return false;
    return true;
}

/// As the fast build's standard_class, from the class's own dict and its slots.
bool standard_class(PyTypeObject* type, PyObject* dict, Ref& int_member, Ref& is_safe_member) {
    Ref mro = getattr(reinterpret_cast<PyObject*>(type), Ref(text("__mro__")));
    if (!PyTuple_CheckExact(mro) || tuple_size(mro) != 2 || tuple_item(mro, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type) ||
        PyType_GetSlot(type, Py_tp_getattro) != PyType_GetSlot(&PyBaseObject_Type, Py_tp_getattro) ||
        PyType_GetSlot(type, Py_tp_finalize) != nullptr || PyType_GetSlot(type, Py_tp_del) != nullptr)
        return false;
    for (const char* slot : {"int", "is_safe"}) {
        Ref name = text(slot);
        PyObject* member = own_entry(dict, name);
        if (!own_slot(member, type, name)) return false;
        (std::strcmp(slot, "int") == 0 ? int_member : is_safe_member) = own(member);
    }
    return true;
}

/// Whether the class is still as it was vouched for: its metaclass, slots and own dict.
bool uuid_class_unchanged(const Originals& o) noexcept {
    PyObject* cls = o.uuid_class;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* dict = o.uuid_class_dict;
    return Py_IS_TYPE(cls, &PyType_Type) && PyType_GetSlot(type, Py_tp_new) == o.object_new &&
           PyType_GetSlot(type, Py_tp_init) == o.uuid_tp_init && PyType_GetSlot(type, Py_tp_str) == o.uuid_tp_str &&
           PyType_GetSlot(type, Py_tp_getattro) == o.object_getattro && PyType_GetSlot(type, Py_tp_finalize) == nullptr &&
           PyType_GetSlot(type, Py_tp_del) == nullptr && own_entry(dict, names::init) == o.uuid_init_seen.function() &&
           own_entry(dict, names::str_method) == o.uuid_str_seen.function() &&
           own_entry(dict, names::int_slot) == o.uuid_int_member.get() &&
           own_entry(dict, names::is_safe) == o.uuid_is_safe_member.get();
}

/// Whether the id may be made here, once uuid4 is the vouched one and no tracer would see it:
/// nothing uuid4, UUID.__init__ and UUID.__str__ read changed, nor the class they live in.
bool standard_ids(PyObject*) noexcept {
    const Originals& o = seen.get();
    if (!o.uuid_class || !o.uuid4_seen.reads_unchanged()) return false;
    const glue::FunctionSnapshot &init = o.uuid_init_seen, &str_method = o.uuid_str_seen;
    // UUID.__init__'s keyword-only default, a dict changed in place without an event: without
    // it, uuid4's call fails.
    PyObject* is_safe = PyDict_GetItemWithError(init.kwdefaults(), names::is_safe);
    if (is_safe == nullptr) PyErr_Clear();
    return is_safe != nullptr && init.holds(init.function()) && init.reads_unchanged() &&
           str_method.holds(str_method.function()) && str_method.reads_unchanged() && uuid_class_unchanged(o);
}

}  // namespace

void remember_standard_uuid4(PyObject* function) noexcept {
    Originals& o = seen.get();
    if (o.uuid_class) return;
    trust::vouch([&] {
        if (!trust::same_code_as(function, originals::uuid, "uuid4")) return false;
        Ref uuid = getattr(function, Ref(text("__globals__")));
        Ref cls = trust::entry(uuid, "UUID");
        Ref os = trust::entry(uuid, "os");
        if (cls == nullptr || !Py_IS_TYPE(cls, &PyType_Type) || os == nullptr ||
            !is_os_urandom(trust::module_entry(os, "urandom")) ||
            !standard(function, uuid, "uuid4", {{"UUID", cls}, {"os", os}}))
            return false;
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        Ref dict = getattr(cls, Ref(text("__dict__")));  // the class's own, a live view
        Ref init = Ref::borrow(own_entry(dict, Ref(text("__init__"))));
        Ref str_method = Ref::borrow(own_entry(dict, Ref(text("__str__"))));
        Ref int_member, is_safe_member;
        Ref kwdefaults = init ? getattr(init, Ref(text("__kwdefaults__"))) : Ref();
        if (PyType_GetSlot(type, Py_tp_new) != PyType_GetSlot(&PyBaseObject_Type, Py_tp_new) ||
            !standard_class(type, dict, int_member, is_safe_member) || !standard(init, uuid, "UUID.__init__", {}) ||
            !standard_init_defaults(init) || !PyDict_CheckExact(kwdefaults) || trust::entry(kwdefaults, "is_safe") == nullptr ||
            !standard(str_method, uuid, "UUID.__str__", {}))
            return false;
        // The globals read on the way to the text: uuid4's, UUID.__init__'s with bytes and a
        // version (the assert's only under -O0), none of UUID.__str__'s.
        if (!o.uuid4_seen.take(function, {"UUID", "os"}, {{"os", "urandom"}}) ||
            !o.uuid_init_seen.take(init, {"len", "isinstance", "bytes_", "int_", "object"}) ||
            !o.uuid_str_seen.take(str_method, {}) || o.uuid_init_seen.kwdefaults() != kwdefaults.get())
            return false;
        o.uuid_class_dict = dict;
        o.uuid_int_member = int_member;
        o.uuid_is_safe_member = is_safe_member;
        o.object_new = PyType_GetSlot(&PyBaseObject_Type, Py_tp_new);
        o.object_getattro = PyType_GetSlot(&PyBaseObject_Type, Py_tp_getattro);
        o.uuid_tp_init = PyType_GetSlot(type, Py_tp_init);
        o.uuid_tp_str = PyType_GetSlot(type, Py_tp_str);
        o.uuid_class = cls;
        return true;
    });
}
#endif

#if PLENX_FAST_LAYER
namespace {
/// More than the objects the collector counts that `str(uuid4())` makes on its way (the call's
/// keywords, the UUID, its __init__'s list, __str__'s tuple; free lists make fewer count).
constexpr int uuid_text_tracked = 16;

/// Whether the id may be made here with nobody seeing uuid4 run: it, UUID.__init__ and
/// UUID.__str__ are the standard ones, no tracer or profiler would see them called, and none of
/// the objects they make could start (3.11) or schedule (3.12 on) a collection, whose finalisers
/// would see the interval as it stands then.
bool unseen_ids(const Args& a, PyObject* uuid4) noexcept {
    return standard_ids(uuid4) &&
           !fast::observed(a, uuid4, seen->uuid_init_seen.function(), seen->uuid_str_seen.function()) &&
           !fast::collection_due(uuid_text_tracked);
}
}  // namespace
#endif

Ref new_id(const Args& a) { return new_id(a, a.global(names::uuid4)); }

Ref restored_id(const Args& a, PyObject* self, const Restoration& restoration, std::span<const Name* const> stored) {
    Ref uuid4 = a.global(names::uuid4);
#if PLENX_FAST_LAYER
    // The fresh id would be seen only by code run before the restore overwrites it. None runs:
    // the rest of __init__ stores its attributes in empty places (so it lets nothing go) and
    // makes one object the collector tracks (the list of values), which starts no collection
    // now; what the inits and the call let go then is plain text of ours and our functions,
    // which the classes still hold (nothing was set in them since from_dict called the class).
    // The dict's id is found without running anything, and nothing changes the dict before the
    // restore stores it.
    if (glue::os_random_available() && unseen_ids(a, uuid4) &&
        restoration.classes.holds(Py_TYPE(self)) && glue::empty_in_place(self, stored) &&
        (restoration.own_tail.empty() || glue::empty_in_place(self, restoration.own_tail)) && !fast::may_collect(1))
        if (PyObject* stored = restoration.stored->find(names::id)) {
            *restoration.id_given = true;
            return own(stored);
        }
#else
    (void)self, (void)restoration, (void)stored;
#endif
    return new_id(a, uuid4);
}

Ref new_id(const Args& a, PyObject* uuid4) {
#if PLENX_FAST_LAYER
    // While a tracer or profiler would see uuid4, UUID.__init__ or UUID.__str__ run, they run.
    if (unseen_ids(a, uuid4))
        if (Ref text = random_uuid_text()) return text;
#else
    // The stable-ABI build (glue/watch.hpp): the vouched uuid4, no tracer, the work due at its
    // first instruction run here, then everything it and the UUID methods read.
    (void)a;
    if (seen->uuid4_seen.holds(uuid4) && !glue::watch::observed() && standard_ids(uuid4))
        if (Ref text = random_uuid_text()) return text;
#endif
    Ref uuid = call(uuid4);
    return str(uuid);
}

}  // namespace interval
