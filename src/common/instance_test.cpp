#include "instance_test.hpp"

#include <pybind11/pybind11.h>

#include "insides.hpp"
#include "keep.hpp"

namespace tvk {

namespace instance_memo {

State g_state;

namespace {

// The type's version tag, assigned by a lookup when it has none yet.
bool version(PyTypeObject* tp, unsigned int& tag) {
    tag = insides::tagged_type_version(tp);
    return tag != 0;
}

bool interpreter_test(PyObject* obj, PyObject* cls) {
    int r = PyObject_IsInstance(obj, cls);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

}  // namespace

bool miss(PyObject* obj, PyObject* cls) {
    State& s = g_state;
    if (s.depth == 0 || s.unpinned || Py_TYPE(cls) != reinterpret_cast<PyTypeObject*>(s.abc_meta))
        return interpreter_test(obj, cls);
    PyTypeObject* tp = Py_TYPE(obj);
    auto* c = reinterpret_cast<PyTypeObject*>(cls);
    unsigned int type_tag, cls_tag, meta_tag;
    if (!version(tp, type_tag) || !version(c, cls_tag) || !version(Py_TYPE(cls), meta_tag))
        return interpreter_test(obj, cls);
    bool result = interpreter_test(obj, cls);
    // Only a type whose instances report it as their __class__ answers the
    // same for all of them (object's own __class__, read by the generic
    // attribute access: a __getattribute__ of the type's own may tell each
    // instance's class apart); and the answer is kept only when the test
    // (which ran Python code) left all three classes as they were.
    unsigned int type_after, cls_after, meta_after;
    if (tp->tp_getattro == PyObject_GenericGetAttr &&
        insides::type_lookup(tp, TVK_NAME("__class__")) == s.object_class && version(tp, type_after) &&
        version(c, cls_after) && version(Py_TYPE(cls), meta_after) && type_after == type_tag &&
        cls_after == cls_tag && meta_after == meta_tag) {
        // The first slot for a new pair; the one it held moves to the second.
        const std::size_t at = slot(tp, cls);
        s.table[at + 1] = s.table[at];
        s.table[at] = Entry{tp, cls, type_tag, cls_tag, meta_tag, s.epoch, result};
    }
    return result;
}

}  // namespace instance_memo

void prepare_instance_tests() {
    instance_memo::State& s = instance_memo::g_state;
    if (s.get_token) return;
    py::module_ abc = py::module_::import("abc");
    PyObject* get_token = keep(abc, "get_cache_token");
    s.abc_meta = keep(abc, "ABCMeta");
    py::object checks = py::handle(s.abc_meta).attr("__dict__");
    s.abc_checks[0] = pin(checks["__instancecheck__"]);
    s.abc_checks[1] = pin(checks["__subclasscheck__"]);
    s.object_class = insides::type_lookup(&PyBaseObject_Type, TVK_NAME("__class__"));
    Py_XINCREF(s.object_class);
    s.get_token = get_token;  // only once the rest is kept too
}

bool abc_checks_unchanged() {
    const instance_memo::State& s = instance_memo::g_state;
    return s.abc_checks[0].unchanged() && s.abc_checks[1].unchanged();
}

InstanceTestScope::InstanceTestScope() {
    instance_memo::State& s = instance_memo::g_state;
    if (s.depth == 0) {
        prepare_instance_tests();
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
        s.unpinned = !abc_checks_unchanged();
        if (s.unpinned) ++s.epoch;  // nothing kept so far is used either
    }
    ++s.depth;
}

InstanceTestScope::~InstanceTestScope() { --instance_memo::g_state.depth; }

}  // namespace tvk
