#include "instance_test.hpp"

#include "insides.hpp"
#include "keep.hpp"

#include <cstdint>

namespace tvk {

namespace {

struct Entry {
    PyTypeObject* type = nullptr;
    PyObject* cls = nullptr;
    unsigned int type_tag = 0, cls_tag = 0, meta_tag = 0;
    std::uint64_t epoch = 0;
    bool result = false;
};

constexpr std::size_t kEntries = 8192;  // a power of two

// Plain memory for the process: entries hold no references (a version tag
// is never handed out twice, so a type that died cannot be mistaken for a
// new one at its address).
struct State {
    Entry table[kEntries];
    std::uint64_t epoch = 1;
    int depth = 0;
    PyObject* token = nullptr;      // the ABC cache token of the last check
    PyObject* get_token = nullptr;  // abc.get_cache_token
    PyObject* abc_meta = nullptr;   // abc.ABCMeta
    PyObject* object_class = nullptr;
};

// Plain data, initialised before any code runs (no guard on each use).
State g_state;
inline State& state() { return g_state; }

// The type's version tag, assigned by a lookup when it has none yet.
bool version(PyTypeObject* tp, unsigned int& tag) {
    tag = insides::tagged_type_version(tp);
    return tag != 0;
}

// tp has the version tag `tag` (never 0: an entry is only kept with tags).
inline bool valid_tag(PyTypeObject* tp, unsigned int tag) { return insides::type_version(tp) == tag; }

// Two slots a pair may take, the second next to the first. Classes are
// made one after the other, so their addresses differ by about the size of
// a class: the mix spreads such pairs over the whole table.
std::size_t slot(PyTypeObject* tp, PyObject* cls) {
    auto a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(tp) >> 4);
    auto b = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(cls) >> 4);
    std::uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
    return static_cast<std::size_t>(h >> 40) & (kEntries - 2);
}

bool interpreter_test(PyObject* obj, PyObject* cls) {
    int r = PyObject_IsInstance(obj, cls);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

}  // namespace

InstanceTestScope::InstanceTestScope() {
    State& s = state();
    if (s.depth == 0) {
        if (!s.get_token) {
            py::module_ abc = py::module_::import("abc");
            PyObject* get_token = keep(abc, "get_cache_token");
            s.abc_meta = keep(abc, "ABCMeta");
            s.get_token = get_token;  // only once ABCMeta is held too
            s.object_class = _PyType_Lookup(&PyBaseObject_Type, TVK_NAME("__class__"));
            Py_XINCREF(s.object_class);
        }
        PyObject* token = PyObject_CallNoArgs(s.get_token);
        if (!token) throw py::error_already_set();
        int same = s.token ? PyObject_RichCompareBool(token, s.token, Py_EQ) : 0;
        if (same < 0) {
            Py_DECREF(token);
            throw py::error_already_set();
        }
        if (!same) {
            ++s.epoch;
            Py_XSETREF(s.token, token);
        } else {
            Py_DECREF(token);
        }
    }
    ++s.depth;
}

InstanceTestScope::~InstanceTestScope() { --state().depth; }

bool is_instance(py::handle object, py::handle class_) {
    PyObject* obj = object.ptr();
    PyObject* cls = class_.ptr();
    PyTypeObject* tp = Py_TYPE(obj);
    if (reinterpret_cast<PyObject*>(tp) == cls) return true;
    State& s = state();
    // Only ABCMeta itself is known to answer alike for every instance of a
    // type; any other metaclass may look at the instance.
    if (s.depth == 0 || Py_TYPE(cls) != reinterpret_cast<PyTypeObject*>(s.abc_meta)) return interpreter_test(obj, cls);
    auto* c = reinterpret_cast<PyTypeObject*>(cls);
    const std::size_t at = slot(tp, cls);
    // The answer kept for this pair while all three tags hold, read without
    // giving any type a tag.
    for (std::size_t k = at; k < at + 2; ++k) {
        const Entry& e = s.table[k];
        if (e.type == tp && e.cls == cls && e.epoch == s.epoch && valid_tag(tp, e.type_tag) &&
            valid_tag(c, e.cls_tag) && valid_tag(Py_TYPE(cls), e.meta_tag))
            return e.result;
    }
    unsigned int type_tag, cls_tag, meta_tag;
    if (!version(tp, type_tag) || !version(c, cls_tag) || !version(Py_TYPE(cls), meta_tag))
        return interpreter_test(obj, cls);
    bool result = interpreter_test(obj, cls);
    // Only a type whose instances report it as their __class__ answers the
    // same for all of them; and the answer is kept only when the test (which
    // ran Python code) left all three classes as they were.
    unsigned int type_after, cls_after, meta_after;
    if (_PyType_Lookup(tp, TVK_NAME("__class__")) == s.object_class && version(tp, type_after) &&
        version(c, cls_after) && version(Py_TYPE(cls), meta_after) && type_after == type_tag &&
        cls_after == cls_tag && meta_after == meta_tag) {
        // The first slot for a new pair; the one it held moves to the second.
        s.table[at + 1] = s.table[at];
        s.table[at] = Entry{tp, cls, type_tag, cls_tag, meta_tag, s.epoch, result};
    }
    return result;
}

}  // namespace tvk
