#include "instance.hpp"

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

constexpr std::size_t kEntries = 1024;  // a power of two

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

State& state() {
    static auto* s = new State();
    return *s;
}

// The type's version tag, assigned by a lookup when it has none yet.
bool version(PyTypeObject* tp, unsigned int& tag) {
    tag = insides::tagged_type_version(tp);
    return tag != 0;
}

std::size_t slot(PyTypeObject* tp, PyObject* cls) {
    auto a = reinterpret_cast<std::uintptr_t>(tp) >> 4;
    auto b = reinterpret_cast<std::uintptr_t>(cls) >> 4;
    return (a * 31u ^ b) & (kEntries - 1);
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
    unsigned int type_tag, cls_tag, meta_tag;
    if (!version(tp, type_tag) || !version(c, cls_tag) || !version(Py_TYPE(cls), meta_tag))
        return interpreter_test(obj, cls);
    Entry& e = s.table[slot(tp, cls)];
    if (e.type == tp && e.cls == cls && e.type_tag == type_tag && e.cls_tag == cls_tag && e.meta_tag == meta_tag &&
        e.epoch == s.epoch)
        return e.result;
    bool result = interpreter_test(obj, cls);
    // Only a type whose instances report it as their __class__ answers the
    // same for all of them; and the answer is kept only when the test (which
    // ran Python code) left all three classes as they were.
    unsigned int type_after, cls_after, meta_after;
    if (_PyType_Lookup(tp, TVK_NAME("__class__")) == s.object_class && version(tp, type_after) &&
        version(c, cls_after) && version(Py_TYPE(cls), meta_after) && type_after == type_tag &&
        cls_after == cls_tag && meta_after == meta_tag)
        s.table[slot(tp, cls)] = Entry{tp, cls, type_tag, cls_tag, meta_tag, s.epoch, result};
    return result;
}

}  // namespace tvk
