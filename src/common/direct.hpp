// Direct paths for instances of this layer's classes. A call may skip the
// generic protocol (bound methods, lookups through the MRO) when the members
// it would look up are this layer's own, as the instance's type resolves
// them and provided the instance dict, which may shadow any method, does not
// hold them: the one gate deciding that is OwnSteps. Attributes are read
// straight from the instance dict exactly where the interpreter's lookup
// would find them there; anything unusual (a custom __getattribute__, a data
// descriptor of that name, a key that is no str) goes through the
// interpreter's own lookup. Every read of the interpreter's insides goes
// through insides.hpp, which answers "not known" where it cannot read them,
// and then the generic path runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <type_traits>

#include "call.hpp"
#include "insides.hpp"
#include "pinned.hpp"
#include "pyops.hpp"

namespace tvk {

using insides::type_version;

// Attribute reads and writes of the type are the interpreter's generic ones
// (no __getattribute__, __getattr__ or __setattr__ of its own).
inline bool generic_attributes(PyTypeObject* tp) {
    return tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_setattro == PyObject_GenericSetAttr;
}

// A member made by ClassBuilder::method (or abstract_method), by this
// module or any other (they share one method type): its C++ entry and the
// cell it is called with. Empty for any other object, so one of this layer's
// own members is told from a replacement without calling it.
struct MethodEntry {
    RawFn fn = nullptr;
    PyObject* cell = nullptr;
    explicit operator bool() const { return fn != nullptr; }
    // The member called on self with no other argument, as self.name() does.
    py::object call(PyObject* self) const {
        PyObject* args[1] = {self};
        return steal(fn(cell, args, 1, nullptr));
    }
};
MethodEntry method_entry(PyObject* descr);

// The member `name` as type `tp` resolves it (see method_entry).
inline MethodEntry resolved_entry(PyTypeObject* tp, PyObject* name) {
    PyObject* d = insides::type_lookup(tp, name);
    return d ? method_entry(d) : MethodEntry{};
}

// An object whose kind is settled for good: its type is immutable (so it
// cannot gain __get__ or __set__), and its class cannot be reassigned (only
// a module's can, among instances of immutable types).
inline bool settled_kind(PyObject* o) {
    return (Py_TYPE(o)->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) && !PyModule_Check(o);
}

// What a memo kept per owner type (by its version tag) knows of a class
// attribute it found to be no data descriptor. The owner's tag says its
// dicts are unchanged, not that the attribute's own type still lacks
// __get__/__set__, nor that it is still the attribute's type: for an
// attribute of an unsettled kind both are kept and asked again.
struct AttrKind {
    PyObject* object = nullptr;  // borrowed: the owner's MRO holds it while the owner's tag holds
    PyTypeObject* tp = nullptr;  // nullptr: nothing to ask again
    unsigned version = 0;

    // Keeps the kind of `found` (nullptr: the owner has no such attribute).
    // False when its type has no version tag: then no memo may rely on it.
    bool keep(PyObject* found) {
        *this = AttrKind{};
        if (!found || settled_kind(found)) return true;
        object = found;
        tp = Py_TYPE(found);
        version = insides::tagged_type_version(tp);
        return version != 0;
    }
    // Valid only while the owner keeps the tag the memo was made at.
    bool holds() const { return !tp || (Py_TYPE(object) == tp && type_version(tp) == version); }
};

// A value worked out from a type, kept while the type keeps its version tag.
// Holds no Python object: the type is only compared, never dereferenced.
// Values are handed out by copy, so that code run after the read (a key's
// __eq__, a finalizer, a property; any of them may store into the memo)
// cannot change what the caller holds.
template <class V, std::size_t N = 64>
class TypeMemo {
public:
    // The value for tp: the one kept while tp's version tag is unchanged,
    // else work(tp), kept when the tag held all the while it ran.
    template <class Work>
    V get(PyTypeObject* tp, Work&& work) {
        unsigned v = type_version(tp);
        if (v != 0) {
            const Entry& e = slots_[slot(tp)];
            if (e.tp == tp && e.version == v) return e.value;
        }
        v = insides::tagged_type_version(tp);
        V value = work(tp);
        if (v != 0 && type_version(tp) == v) slots_[slot(tp)] = Entry{tp, v, value};
        return value;
    }

private:
    struct Entry {
        PyTypeObject* tp = nullptr;
        unsigned version = 0;
        V value{};
    };
    static std::size_t slot(PyTypeObject* tp) {
        auto p = reinterpret_cast<std::uintptr_t>(tp);
        return static_cast<std::size_t>((p >> 4) ^ (p >> 12)) % N;
    }
    std::array<Entry, N> slots_{};
};

// Attribute access of one instance, each read as PyObject_GetAttr would give
// it, taken straight from the instance dict where that is where the lookup
// would find it.
class Instance {
public:
    explicit Instance(PyObject* self) : self_(self) {}

    // self.name
    py::object get(PyObject* name) const {
        if (PyObject* v = find(name, nullptr)) return py::reinterpret_borrow<py::object>(v);
        return getattr(self_, name);
    }
    // self.name when the instance dict holds it and nothing in the type
    // overrides that; empty otherwise (no error set). Runs no Python code.
    py::object direct(PyObject* name) const { return py::reinterpret_borrow<py::object>(find(name, nullptr)); }
    // Like direct(), and tells `absent` when self.name certainly raises
    // AttributeError (generic lookup, nothing in the type, nothing in the dict).
    py::object direct(PyObject* name, bool& absent) const {
        return py::reinterpret_borrow<py::object>(find(name, &absent));
    }
    // True when the instance dict certainly holds none of the names (so the
    // type's members of those names are what self.<name> gives). May run
    // Python code: the dict is made when the attributes are still inline,
    // and an allocation can start a collection.
    // `key` is names_key(names, n).
    bool lacks(PyObject* const* names, std::size_t n, std::uintptr_t key) const;
    // The member `name` when self.name is one of this layer's own members
    // (its type's attribute access generic, not shadowed by the instance).
    MethodEntry own_member(PyObject* name) const;

    PyObject* self() const { return self_; }

private:
    // direct(), borrowed from the instance dict (nullptr: not read there).
    PyObject* find(PyObject* name, bool* absent) const;
    PyObject* self_;
};

// ---- the gate of the direct paths ------------------------------------------------

// One overridable step of a direct path: the member self.<name>, and which
// member counts as the module's own there.
struct Step {
    enum Expect { AnyMethod, Method, Object, Anything };
    enum Lookup { Attribute, Special };
    PyObject* name = nullptr;
    Expect expect = AnyMethod;
    RawFn fn = nullptr;          // Method: a method of this layer with this entry
    const PinnedFunction* pin = nullptr;  // Object: this very member (pinned for the process)
    // Special: a dunder the interpreter looks up on the type alone, so
    // neither the instance nor the type's attribute access can change it.
    Lookup lookup = Attribute;
};
// Any method made by this layer (its entry is handed out).
inline Step any_method(PyObject* name) { return {name, Step::AnyMethod}; }
// The method of this layer with this entry.
inline Step own_method(PyObject* name, RawFn fn) { return {name, Step::Method, fn}; }
// This very member object (a static method, a property, a function), while
// it still runs what it ran when it was pinned (as the module loaded).
inline Step own_object(PyObject* name, const PinnedFunction& member) { return {name, Step::Object, nullptr, &member}; }
// Whatever the type resolves, judged by the gate's `decide`.
inline Step any_member(PyObject* name) { return {name, Step::Anything}; }
inline Step special(Step s) {
    s.lookup = Step::Special;
    return s;
}

// A step's member as the type resolved it: borrowed and valid only while
// `decide` runs (which must not run Python code).
struct Member {
    PyObject* object = nullptr;  // nullptr: the type has none
    MethodEntry entry;
};

// An exact key for a list of names (each kept for the process): the name
// itself when there is one, else the number of this list among the distinct
// lists keyed so far (odd, so never the address of a name).
std::uintptr_t names_key(PyObject* const* names, std::size_t n);

namespace detail {
// The instance part of every gate: self's type has the interpreter's generic
// attribute access and its instance dict holds none of the names. May run
// Python code (see Instance::lacks).
bool instance_leaves(PyObject* self, PyObject* const* names, std::size_t n, std::uintptr_t key);
// The type part: each step's member as tp resolves it, checked against
// what the step expects; false when any step is not the module's own.
bool type_resolves(PyTypeObject* tp, const Step* steps, std::size_t n, Member* out);
// Every Object step's member still runs what it ran when pinned.
bool pins_hold(const Step* steps, std::size_t n);
}  // namespace detail

// What a gate keeps when it only answers yes or no.
struct NoExtra {};
// What a gate without `decide` hands out: the steps' members that are
// methods of this layer (empty entries for the others).
template <std::size_t N>
using Entries = std::array<MethodEntry, N>;

// The one gate of a direct path: whether every step, as self (or, for a
// special step, its type) would look it up, gives the module's own member,
// so that the direct path runs exactly what the generic protocol would. The
// type's part of the answer is kept per type (version tag) together with
// what `decide` works out from the members (Extra; nullopt refuses the
// path). The instance's part is asked first, since it can run Python code,
// which may change the type; then the type's part is read, by copy, with no
// Python code in between. A gate serves one decision, so adding a step to a
// direct path means adding it here, where the generic path then wins over
// any override of it.
template <std::size_t N, class Extra = Entries<N>>
class OwnSteps {
public:
    using Decide = std::optional<Extra> (*)(const std::array<Member, N>& members);

    explicit OwnSteps(std::array<Step, N> steps, Decide decide = nullptr) : steps_(steps), decide_(decide) {
        for (const Step& s : steps_) {
            if (s.lookup == Step::Attribute) names_[n_names_++] = s.name;
            objects_ = objects_ || s.expect == Step::Object;
        }
        names_key_ = names_key(names_.data(), n_names_);
    }

    // What the path needs for self, or nullopt when the generic protocol
    // must run.
    std::optional<Extra> open(PyObject* self) {
        if (n_names_ && !detail::instance_leaves(self, names_.data(), n_names_, names_key_)) return std::nullopt;
        return open_type(Py_TYPE(self));
    }
    // Only the type's part: for gates whose steps are all special.
    std::optional<Extra> open_type(PyTypeObject* tp) {
        // A member trusted as the module's own still runs what it ran: the
        // type's version tag does not change with a function's __code__.
        if (objects_ && !detail::pins_hold(steps_.data(), N)) return std::nullopt;
        return memo_.get(tp, [this](PyTypeObject* t) { return work_out(t); });
    }

private:
    std::optional<Extra> work_out(PyTypeObject* tp) const {
        if (n_names_ && !generic_attributes(tp)) return std::nullopt;
        std::array<Member, N> members{};
        if (!detail::type_resolves(tp, steps_.data(), N, members.data())) return std::nullopt;
        if (decide_) return decide_(members);
        Extra extra{};
        if constexpr (std::is_same_v<Extra, Entries<N>>)
            for (std::size_t i = 0; i < N; ++i) extra[i] = members[i].entry;
        return extra;
    }

    std::array<Step, N> steps_;
    bool objects_ = false;  // some step is an Object step (its pin is asked at each opening)
    std::array<PyObject*, N> names_{};  // the attribute steps' names
    std::size_t n_names_ = 0;
    std::uintptr_t names_key_ = 0;
    Decide decide_;
    TypeMemo<std::optional<Extra>> memo_;
};

// obj.a.b for the objects of a chain read again and again (an
// instruction's kernel and its compile parameters): obj.a is read each time,
// and the last a.b is remembered while it would be read the same way again,
// from the same unchanged instance dict of an unchanged type (dict and type
// version tags), whose attribute of that name, if any, keeps its kind;
// anything else is read afresh.
class AttrChain {
public:
    // obj.first.second
    py::object get(PyObject* obj, PyObject* first, PyObject* second);

private:
    struct Link {
        PyObject* obj = nullptr;
        PyTypeObject* tp = nullptr;
        unsigned tp_version = 0;
        PyObject* dict = nullptr;
        std::uint64_t dict_version = 0;
        AttrKind kind;  // of the type's attribute named as the link's second name
        bool same() const;
        bool set(PyObject* o, PyObject* name);
    };
    Link mid_;
    PyObject* names_[2] = {nullptr, nullptr};
    PyObject* result_ = nullptr;  // borrowed: held by mid_'s dict while it is unchanged
};

// obj.name as the interpreter gives it, straight from the instance dict
// where its lookup would find it there.
inline py::object read_attr(py::handle obj, PyObject* name) { return Instance(obj.ptr()).get(name); }

// obj.name, or a null object when hasattr() would say it is absent (only
// AttributeError means that); straight from the instance dict where it can.
inline py::object optional_attr(py::handle obj, PyObject* name) {
    bool absent = false;
    if (py::object v = Instance(obj.ptr()).direct(name, absent)) return v;
    if (absent) return py::object();
    return lookup_attr(obj, name);
}

}  // namespace tvk
