// The memo behind is_instance (pyops.hpp, instance_test.hpp): the answers of
// abc instance tests per (type, class), kept while the three version tags of
// type, class and metaclass hold. Its hit path is inline, since every pass
// asks it for every instruction; a miss goes to instance_test.cpp.
#pragma once

#include "call.hpp"
#include "insides.hpp"
#include "pinned.hpp"

#include <cstddef>
#include <cstdint>

namespace tvk::instance_memo {

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
    // ABCMeta's __instancecheck__ and __subclasscheck__, pinned as the module
    // loads: functions of abc, whose code decides every answer kept.
    PinnedFunction abc_checks[2];
    bool unpinned = false;  // one of them runs other code: the outermost scope keeps nothing
};

// Plain data, initialised before any code runs (no guard on each use); one
// per module, as the static library is linked into each.
extern State g_state;

// Two slots a pair may take, the second next to the first. Classes are
// made one after the other, so their addresses differ by about the size of
// a class: the mix spreads such pairs over the whole table.
inline std::size_t slot(PyTypeObject* tp, PyObject* cls) {
    auto a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(tp) >> 4);
    auto b = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(cls) >> 4);
    std::uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
    return static_cast<std::size_t>(h >> 40) & (kEntries - 2);
}

// tp has the version tag `tag` (never 0: an entry is only kept with tags).
inline bool valid_tag(PyTypeObject* tp, unsigned int tag) { return insides::type_version(tp) == tag; }

// The answer for a class made by ABCMeta itself inside a scope, from the
// table; anything else is asked of the interpreter (and kept when it may be).
bool miss(PyObject* obj, PyObject* cls);

}  // namespace tvk::instance_memo

namespace tvk {

inline bool is_instance(py::handle object, py::handle class_) {
    namespace m = instance_memo;
    PyObject* obj = object.ptr();
    PyObject* cls = class_.ptr();
    PyTypeObject* tp = Py_TYPE(obj);
    if (reinterpret_cast<PyObject*>(tp) == cls) return true;
    m::State& s = m::g_state;
    // Only ABCMeta itself is known to answer alike for every instance of a
    // type; any other metaclass may look at the instance.
    if (s.depth != 0 && Py_TYPE(cls) == reinterpret_cast<PyTypeObject*>(s.abc_meta)) {
        auto* c = reinterpret_cast<PyTypeObject*>(cls);
        const std::size_t at = m::slot(tp, cls);
        // The answer kept for this pair while all three tags hold, read
        // without giving any type a tag.
        for (std::size_t k = at; k < at + 2; ++k) {
            const m::Entry& e = s.table[k];
            if (e.type == tp && e.cls == cls && e.epoch == s.epoch && m::valid_tag(tp, e.type_tag) &&
                m::valid_tag(c, e.cls_tag) && m::valid_tag(Py_TYPE(cls), e.meta_tag))
                return e.result;
        }
    }
    return m::miss(obj, cls);
}

}  // namespace tvk
