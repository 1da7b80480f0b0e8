// What the front-end's memos share: the standard-library steps they stand
// for as the module found them, the bounded dict most of them keep, the
// parser's node classes and the reads of a node every walk makes.
//
// Each memo stands for one step (inspect.getsource, ast.parse,
// astor.to_source) and is used only while the gate of steps.cpp says that
// step is still the module's own. What a memo gives is what the step would
// give, keyed on everything that answer depends on; nothing a memo keeps is
// handed out but as a copy, and every record a nested call can meet (a
// collection, a finalizer, another thread) is either reentrant or read only
// while no Python code can run.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/insides.hpp"
#include "common/pinned.hpp"
#include "zelvo/kernel/kernel.hpp"

namespace tvk::kernel::memo {

// How deep and how large a tree the walks and copies take on.
constexpr int kMaxDepth = 200;
constexpr Py_ssize_t kMaxShape = 4096;

// A bounded memo: a dict in insertion order, the oldest entry dropped when a
// new one would pass the limit. Kept for the process. What get gives is
// borrowed: it stays alive only until Python code next runs (a nested call
// may put an entry that drops it).
class Memo {
public:
    explicit Memo(Py_ssize_t limit) : limit_(limit) {}
    PyObject* get(PyObject* key) const;  // nullptr when absent
    void put(PyObject* key, PyObject* value);

private:
    Py_ssize_t limit_;
    PyObject* dict_ = nullptr;  // made at the first put
};

// A fixed set of type addresses, asked for every node a walk meets: open
// addressing over a power-of-two table, so a question is a multiply and a
// probe or two. Each type's slot also keeps its _fields as last looked up,
// with the type's version tag then. Filled at load only, so a slot's
// address stays put.
class TypeSet {
public:
    struct Slot {
        const PyTypeObject* tp = nullptr;
        unsigned version = 0;
        PyObject* fields = nullptr;  // held: a tuple of exact str
    };
    void insert(const PyTypeObject* tp);
    Slot* find(const PyTypeObject* tp) {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = index(tp);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i].tp == tp) return &slots_[i];
            if (!slots_[i].tp) return nullptr;
        }
    }
    bool contains(const PyTypeObject* tp) { return find(tp) != nullptr; }

private:
    std::size_t index(const PyTypeObject* tp) const {
        auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(tp)) * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(h >> 40) & (slots_.size() - 1);
    }
    void place(const PyTypeObject* tp, const Slot& from);
    void grow();
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// A function of the standard library as the module found it at load, with
// what decides what a call of it does: its code, defaults and keyword
// defaults then (a reload in place or a patching tool replaces those and
// keeps the function). Everything held for the process.
struct Step {
    PyObject* module = nullptr;  // the module it was read from
    PyObject* name = nullptr;    // its name there
    PinnedFunction fn{};         // nothing pinned: not a plain function, never trusted
    PyObject* func() const { return fn.object(); }
    // The version tags of the two dicts the gate read when it last said yes.
    std::uint64_t namespace_version = 0;
    std::uint64_t module_version = 0;
};

// The steps the memos stand for and what the node walks need of the ast
// module, found at load.
struct Originals {
    // Each step keeps the module it was read from: checkcache's and
    // getlines' is the linecache module inspect reads sources through.
    Step getsource, parse, to_source, checkcache, getlines;
    // The parser's own node classes, each kept for the process and compared
    // by address, so no Python code runs when a node's class is asked.
    TypeSet node_types;
    // The function library's registry class and its lookups.
    PyObject* kernel_function = nullptr;
    PyObject* has_func = nullptr;
    PyObject* get_func = nullptr;
    PyObject* fresh = nullptr;  // set of nodes whose next text is made anew
};
Originals& orig();

// ---- the gates (steps.cpp) ----------------------------------------------------

// Each step as the kernel namespace names it is still the one found at load
// (the module, the function it holds, the function's code and defaults).
bool own_getsource();
bool own_parse();
bool own_to_source();
// inspect reads sources through the linecache module found at load, whose
// checkcache and getlines are still its own.
bool own_linecache();

// ---- node reads ---------------------------------------------------------------

// A class of the parser's own.
inline bool is_node_type(PyTypeObject* tp) {
    // Most values a node holds are positions and names: answered at once.
    if (tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == Py_TYPE(Py_None) ||
        tp == &PyList_Type)
        return false;
    return orig().node_types.contains(tp);
}

// The attribute dict of a node into `dict` (borrowed; nullptr while it has
// none), read without making one, so no Python code runs. False when the
// node's class keeps no dict that can be read so.
inline bool node_dict(PyObject* node, PyObject*& dict) { return insides::offset_dict(node, dict); }
// The same, nullptr for both.
inline PyObject* node_dict(PyObject* node) {
    PyObject* dict;
    return node_dict(node, dict) ? dict : nullptr;
}

// A tuple of exact str names a class lists (_fields, _attributes), borrowed;
// nullptr for anything else: looking such names up in a dict of str keys
// runs no Python code.
PyObject* class_names(PyTypeObject* tp, PyObject* which);
// The _fields of a class of the parser's, whose slot is `slot` (borrowed,
// nullptr when they are not such a tuple), and the class's version tag
// (0: none). Remembered per class while its version tag stays the one it
// had then; replacing them releases only a tuple of str, which runs no
// Python code.
PyObject* slot_fields(TypeSet::Slot* slot, PyTypeObject* tp, unsigned& version);

// A copy of a node tree: every node of the parser's classes and every list
// new, everything else (constants, names, positions) shared. A node without
// any attribute (the parser's shared Load, Store and operator nodes) stays
// itself, as every parse gives it. Without `keep_marks`, astor's precedence
// mark is left out. nullptr when the tree is too deep, holds a node of
// another class or changes while it is copied (making the copy may run
// Python code).
PyObject* copy_tree(PyObject* o, bool keep_marks, int depth);

// ---- nodes evaluated again (seen.cpp) -------------------------------------------

// What an evaluation is known by within a parse: the node (for a call the
// library rewrote, the call as written, with the callee's name), held.
struct Evaluation {
    py::object node;
    bool rewritten = false;
    int flags = 0;             // the future features compiled under
    py::object callee_name;    // a rewritten call's
};
// The code an earlier evaluation of the same node in this parse found, the
// node and everything below it unchanged since; nullptr otherwise. Borrowed,
// read while no Python code runs.
PyObject* seen_code(const Evaluation& e);
// The watch of one evaluation, taken before its code is found (from the
// node's third evaluation in a row on), kept with the code once found.
struct SeenEntry;
struct SeenDeleter {
    void operator()(SeenEntry* e) const;
};
using Watch = std::unique_ptr<SeenEntry, SeenDeleter>;
// `passed` takes the node met before at the evaluation's place, for the
// caller to let go last (its release may run Python code).
Watch start_watch(const Evaluation& e, py::object& passed);
// Keeps `code`, found for `node`, for the evaluation watched, when what was
// watched still stands as it was when the watch was taken (and a rewritten
// call is still the rewrite it was).
void keep_seen(Watch watch, const Evaluation& e, py::handle node, py::handle code);
// Lets go of every evaluation of the parse.
void forget_seen();

// ---- rewritten calls (rewrites.cpp) -----------------------------------------------

// The evaluation `node` stands for: the call as written when `node` is the
// library's last rewrite of it, unchanged; `node` itself otherwise.
Evaluation evaluation_of(py::handle node, int flags);
// `node` is still the rewrite `e` was made for (making its text runs Python
// code, which may rewrite another call).
bool still_rewrite(const Evaluation& e, py::handle node);
// Lets go of the rewrites remembered.
void forget_rewrites();

}  // namespace tvk::kernel::memo
