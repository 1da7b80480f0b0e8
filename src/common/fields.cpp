#include "fields.hpp"

#include <cstdint>

#include "direct.hpp"

namespace tvk {

namespace {

// The shared keys of tp when its instances can keep attributes inline and
// its stores are the generic ones.
const void* store_keys(PyTypeObject* tp) {
    return tp->tp_setattro == PyObject_GenericSetAttr ? insides::shared_keys(tp) : nullptr;
}

// Where tp's shared keys hold `name`, when a store of that name goes to the
// instance's own storage (no data descriptor takes it), with the kind of the
// class's attribute of that name into `kind`; -1 otherwise.
Py_ssize_t field_slot(PyTypeObject* tp, PyObject* name, AttrKind& kind) {
    if (!store_keys(tp) || !PyUnicode_CheckExact(name)) return -1;
    PyObject* descr = insides::type_lookup(tp, name);
    if (descr && Py_TYPE(descr)->tp_descr_set) return -1;
    if (!kind.keep(descr)) return -1;
    // (Read after the lookup, which may have run code.)
    return insides::keys_index(store_keys(tp), name);
}

void generic_store(PyObject* obj, PyObject* name, PyObject* value) {
    if (PyObject_SetAttr(obj, name, value) < 0) throw py::error_already_set();
}

}  // namespace

InlineFields::InlineFields(std::initializer_list<const char*> names) {
    for (const char* n : names)
        if (count_ < kMax) names_[static_cast<std::size_t>(count_++)] = intern(n);
}

InlineFields::Found InlineFields::plan(PyTypeObject* tp, Plan& out) {
    if (!insides::usable()) return Found::None;
    // Classes are made one after the other, their addresses about a class
    // size apart: a mixing hash spreads them.
    auto p = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(tp) >> 4) * 0x9E3779B97F4A7C15ull;
    Plan& e = plans_[static_cast<std::size_t>(p >> 58)];
    unsigned v = type_version(tp);
    // A plan is only made while the stores are the generic ones, which any
    // change of __setattr__ (or a descriptor) would end with a new tag; an
    // attribute's own type gaining __set__ is asked of the attribute.
    if (e.tp == tp && v && e.holds(tp)) {
        out = e;
        return Found::Kept;
    }
    if (!store_keys(tp)) return Found::None;
    if (!v) v = insides::tagged_type_version(tp);
    if (!v) return Found::None;
    Plan fresh;
    fresh.tp = tp;
    fresh.version = v;
    for (int i = 0; i < count_; ++i) {
        AttrKind kind;
        Py_ssize_t ix = field_slot(tp, names_[static_cast<std::size_t>(i)], kind);
        // A name the keys do not hold yet (a class's first instance) takes
        // the generic store, which adds it; the plan is then made again.
        if (ix < 0 || ix > 255) return Found::None;
        fresh.slots[static_cast<std::size_t>(i)] = static_cast<unsigned char>(ix);
        if (kind.tp) {
            if (fresh.n_watched == kWatched) return Found::None;
            fresh.watched[static_cast<std::size_t>(fresh.n_watched++)] = kind;
        }
    }
    // The lookups may have run code that changed the class.
    if (!fresh.holds(tp)) return Found::None;
    e = fresh;
    out = fresh;
    return Found::Made;
}

void InlineFields::set(PyObject* obj, std::initializer_list<PyObject*> values) {
    PyObject* const* v = values.begin();
    const int n = static_cast<int>(values.size()) < count_ ? static_cast<int>(values.size()) : count_;
    int i = 0;
    PyTypeObject* tp = Py_TYPE(obj);
    // A slot, once found, holds its name for good: shared keys only grow.
    // The plan is a copy, and holds only while the class keeps its version
    // tag and the instance its inline values, both asked again after
    // anything that may run code.
    if (insides::Values inline_vals = insides::inline_values(obj)) {
        Plan p;
        Found found = plan(tp, p);
        if (found == Found::Made) inline_vals = insides::inline_values(obj);
        if (found != Found::None && inline_vals) {
            for (; i < n; ++i) {
                PyObject* old = insides::inline_exchange(inline_vals, p.slots[static_cast<std::size_t>(i)], v[i]);
                if (!old) continue;
                // Releasing the old value may run code that makes the dict
                // or changes the class.
                Py_DECREF(old);
                if (Py_TYPE(obj) != tp || insides::inline_values(obj) != inline_vals || !p.holds(tp)) {
                    ++i;
                    break;
                }
            }
        }
    }
    for (; i < n; ++i) generic_store(obj, names_[static_cast<std::size_t>(i)], v[i]);
}

}  // namespace tvk
