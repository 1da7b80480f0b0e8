// Work every call of a kernel repeats, done once: the source of a kernel
// function per code object, the syntax tree of a source text, and the
// compiled code of an evaluated node per node structure. Within a parse, a
// node evaluated again (a loop body's calls) gets its code by identity while
// its tree is unchanged; a parse takes the tree handed out before it when
// nothing but its kernel can reach any part of it.
//
// Each memo stands for one step of the standard library and is used only
// while that step is still the one the module namespace names (the globals
// inspect, ast and astor, and the function read from each); otherwise the
// step runs as written. What a memo gives is what the step would give: a
// remembered tree is handed out only as a fresh copy (nothing outside sees
// the one kept), a remembered code object only for a node of the same
// structure, its text made by astor from a copy of the node, so no tree is
// ever marked by astor. Every memo is bounded, keyed by values it holds (a
// code object is keyed by its address only together with the object
// itself), and holds nothing that refers back to it.
#include "kernel.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tvk::kernel {

namespace {

// A bounded memo: a dict in insertion order, the oldest entry dropped when a
// new one would pass the limit. Kept for the process.
class Memo {
public:
    explicit Memo(Py_ssize_t limit) : limit_(limit) {}
    void init() { dict_ = steal(PyDict_New()).release().ptr(); }
    // Borrowed; nullptr when absent.
    PyObject* get(PyObject* key) const {
        PyObject* v = PyDict_GetItemWithError(dict_, key);
        if (!v && PyErr_Occurred()) throw py::error_already_set();
        return v;
    }
    void put(PyObject* key, PyObject* value) {
        if (PyDict_GET_SIZE(dict_) >= limit_) {
            Py_ssize_t pos = 0;
            PyObject *oldest, *ignored;
            if (insides::dict_next(dict_, &pos, &oldest, &ignored)) {
                py::object k = py::reinterpret_borrow<py::object>(oldest);
                if (PyDict_DelItem(dict_, k.ptr()) < 0) throw py::error_already_set();
            }
        }
        if (PyDict_SetItem(dict_, key, value) < 0) throw py::error_already_set();
    }

private:
    Py_ssize_t limit_;
    PyObject* dict_ = nullptr;
};

// A fixed set of type addresses, asked for every node a walk meets: open
// addressing over a power-of-two table, so a question is a multiply and a
// probe or two. Each type's slot also keeps its _fields as last looked up,
// with the type's version tag then.
class TypeSet {
public:
    struct Slot {
        const PyTypeObject* tp = nullptr;
        unsigned version = 0;
        PyObject* fields = nullptr;  // held
    };
    void insert(const PyTypeObject* tp) {
        if (count_ * 2 >= slots_.size()) grow();
        place(tp, Slot());
    }
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
    void place(const PyTypeObject* tp, const Slot& from) {
        std::size_t i = index(tp);
        while (slots_[i].tp && slots_[i].tp != tp) i = (i + 1) & (slots_.size() - 1);
        if (!slots_[i].tp) ++count_;
        slots_[i] = from;
        slots_[i].tp = tp;
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 256 : old.size() * 2, Slot{});
        count_ = 0;
        for (const Slot& s : old)
            if (s.tp) place(s.tp, s);
    }
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

// The standard-library steps the memos stand for, as the module found them
// when it was loaded, and what the node walks need of the ast module.
struct Originals {
    PyObject* inspect = nullptr;
    PyObject* getsource = nullptr;
    PyObject* ast = nullptr;
    PyObject* parse = nullptr;
    PyObject* astor = nullptr;
    PyObject* to_source = nullptr;
    // The parser's own node classes, each kept for the process and compared
    // by address, so no Python code runs when a node's class is asked.
    TypeSet node_types;
    // The function library's registry class and its lookups.
    PyObject* kernel_function = nullptr;
    PyObject* has_func = nullptr;
    PyObject* get_func = nullptr;
    PyObject* filename = nullptr;    // "<string>", the file name eval compiles under
    PyObject* fresh = nullptr;       // set of nodes whose next text is made anew
};
Originals& orig() {
    static auto* o = new Originals();
    return *o;
}

Memo& sources() {
    static auto* m = new Memo(256);
    return *m;
}
Memo& trees() {
    static auto* m = new Memo(128);
    return *m;
}

// `module.attr` as the kernel namespace names it is still `kept`: the global
// is the module found at load and the module still gives that attribute.
// The version tags of the two dicts own_step read when it last said yes for
// one step: while neither dict has changed, its answer stands.
struct StepSeen {
    std::uint64_t namespace_version = 0;
    std::uint64_t module_version = 0;
};

bool own_step(PyObject* global_name, PyObject* module, PyObject* attr, PyObject* kept, StepSeen& seen) {
    PyObject* ns = reg().module_dict;
    if (seen.namespace_version && PyModule_CheckExact(module) && insides::dict_version(ns) == seen.namespace_version &&
        insides::dict_version(PyModule_GetDict(module)) == seen.module_version)
        return true;
    PyObject* m = PyDict_GetItemWithError(ns, global_name);
    if (!m) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    if (m != module || !PyModule_CheckExact(m)) return false;
    PyObject* f = PyDict_GetItemWithError(PyModule_GetDict(m), attr);
    if (!f && PyErr_Occurred()) throw py::error_already_set();
    if (f != kept) return false;
    seen.namespace_version = insides::dict_version(ns);
    seen.module_version = insides::dict_version(PyModule_GetDict(m));
    return true;
}

// Each step as its own memo asks it.
bool own_getsource() {
    static StepSeen seen;
    return own_step(TVK_NAME("inspect"), orig().inspect, TVK_NAME("getsource"), orig().getsource, seen);
}
bool own_parse() {
    static StepSeen seen;
    return own_step(TVK_NAME("ast"), orig().ast, TVK_NAME("parse"), orig().parse, seen);
}
bool own_to_source() {
    static StepSeen seen;
    return own_step(TVK_NAME("astor"), orig().astor, TVK_NAME("to_source"), orig().to_source, seen);
}

// ---- node walks ---------------------------------------------------------------

constexpr int kMaxDepth = 200;
constexpr Py_ssize_t kMaxShape = 4096;

bool is_node_type(PyTypeObject* tp) {
    // Most values a node holds are positions and names: answered at once.
    if (tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &_PyNone_Type ||
        tp == &PyList_Type)
        return false;
    return orig().node_types.contains(tp);
}

// The instance dict of a node (borrowed), nullptr when it has none yet.
PyObject* node_dict(PyObject* node) {
    // The parser's classes keep it at a fixed offset.
    PyTypeObject* tp = Py_TYPE(node);
    if (tp->tp_dictoffset > 0 && !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT))
        return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(node) + tp->tp_dictoffset);
    PyObject** dp = _PyObject_GetDictPtr(node);
    return dp ? *dp : nullptr;
}

// A tuple of names the node class lists (_fields, _attributes), borrowed.
PyObject* class_names(PyTypeObject* tp, PyObject* which) {
    PyObject* t = insides::type_lookup(tp, which);
    return t && PyTuple_CheckExact(t) ? t : nullptr;
}

// The _fields of a class of the parser's, whose slot is `slot` (borrowed);
// nullptr when it lists none as a tuple. Remembered per class while the
// class's version tag stays the one it had then.
PyObject* slot_fields(TypeSet::Slot* slot, PyTypeObject* tp) {
    const unsigned version = insides::type_version(tp);
    if (version && slot->version == version) return slot->fields;
    PyObject* fields = class_names(tp, TVK_NAME("_fields"));
    // The lookup gives the class a tag when it had none.
    const unsigned now = insides::type_version(tp);
    if (now) {
        PyObject* old = slot->fields;
        slot->fields = Py_XNewRef(fields);
        slot->version = now;
        Py_XDECREF(old);  // a tuple of names: its release runs no Python code
    }
    return fields;
}

// The same for any class: nullptr for one not of the parser's.
PyObject* node_fields(PyTypeObject* tp) {
    TypeSet::Slot* slot = orig().node_types.find(tp);
    return slot ? slot_fields(slot, tp) : nullptr;
}

// The items of a node's structure, in order, each an address (a class,
// None), a number (a float's bits, a list's length) or a value compared by
// value (a str, int or bytes): borrowed from the nodes, which the walk does
// not change and which run no Python code while it reads them.
struct Item {
    enum Kind : std::uint8_t { Address, Number, Value };
    Kind kind;
    std::uint64_t word;  // the address, the number, or the value's hash
    PyObject* value;     // a Value's object; nullptr otherwise
    bool operator==(const Item& other) const {
        if (kind != other.kind || word != other.word) return false;
        if (kind != Value || value == other.value) return true;
        // Exact str, int and bytes of one type: comparing runs no Python code.
        return Py_TYPE(value) == Py_TYPE(other.value) && PyObject_RichCompareBool(value, other.value, Py_EQ) == 1;
    }
};

// The walk's items go to one buffer kept for every evaluation: it is read
// only until Python code next runs (a memo entry takes its own copy first),
// so a nested evaluation never meets it half used. A walk stops once past
// kMaxShape items, a few pushes after the last check.
constexpr std::size_t kShapeRoom = static_cast<std::size_t>(kMaxShape) + 64;
Item* shape_buffer() {
    static auto* v = new std::vector<Item>(kShapeRoom);
    return v->data();
}

struct Shape {
    Item* items = shape_buffer();
    std::size_t size = 0;
    bool overflow = false;
    Shape() = default;
    Shape(const Shape&) = delete;
    Shape& operator=(const Shape&) = delete;
    const Item* begin() const { return items; }
    const Item* end() const { return items + size; }
    void add(Item it) {
        if (size < kShapeRoom)
            items[size++] = it;
        else
            overflow = true;
    }
    void push(PyObject* o) { add({Item::Address, static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(o)), nullptr}); }
    void push_number(std::uint64_t n) { add({Item::Number, n, nullptr}); }
    void push_bits(double d) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        push_number(bits);
    }
    // An exact str, int, bool or bytes, whose hash cannot fail.
    void push_value(PyObject* o) { add({Item::Value, static_cast<std::uint64_t>(PyObject_Hash(o)), o}); }
    std::uint64_t hash() const {
        std::uint64_t h = 0x243F6A8885A308D3ull ^ size;
        for (const Item& it : *this) {
            h ^= it.word + 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(it.kind) + (h << 6) + (h >> 2);
            h *= 0xC2B2AE3D27D4EB4Full;
        }
        return h ^ (h >> 29);
    }
};

// The compiled code of each node structure met: a bounded memo in C++, the
// oldest entry dropped when a new one would pass the limit. An entry holds
// the values its items compare (their addresses name no other object while
// it does), and its structure's classes are the parser's, kept for the
// process.
class CodeMemo {
public:
    explicit CodeMemo(std::size_t limit) : limit_(limit) {}
    // Borrowed; nullptr when absent. Runs no Python code.
    PyObject* get(const Shape& shape, std::uint64_t h) const {
        auto range = index_.equal_range(h);
        for (auto it = range.first; it != range.second; ++it)
            if (it->second->items.size() == shape.size &&
                std::equal(shape.begin(), shape.end(), it->second->items.begin()))
                return it->second->code.ptr();
        return nullptr;
    }
    // The entry for `shape`, its values held, made before the code is:
    // making it runs Python code, which could let go of a borrowed value.
    struct Entry {
        std::uint64_t hash = 0;
        std::vector<Item> items;
        std::vector<py::object> held;
        py::object code;
    };
    static std::unique_ptr<Entry> entry(const Shape& shape, std::uint64_t h) {
        auto e = std::make_unique<Entry>();
        e->hash = h;
        e->items.assign(shape.begin(), shape.end());
        for (const Item& it : e->items)
            if (it.value) e->held.push_back(py::reinterpret_borrow<py::object>(it.value));
        return e;
    }
    void put(std::unique_ptr<Entry> e, py::handle code) {
        e->code = py::reinterpret_borrow<py::object>(code);
        std::unique_ptr<Entry> gone;  // let go last: its release may run Python code
        if (order_.size() >= limit_) {
            gone = std::move(order_.front());
            order_.pop_front();
            auto range = index_.equal_range(gone->hash);
            for (auto it = range.first; it != range.second; ++it)
                if (it->second == gone.get()) {
                    index_.erase(it);
                    break;
                }
        }
        index_.emplace(e->hash, e.get());
        order_.push_back(std::move(e));
    }

private:
    std::size_t limit_;
    std::unordered_multimap<std::uint64_t, const Entry*> index_;
    std::deque<std::unique_ptr<Entry>> order_;
};
CodeMemo& codes() {
    static auto* m = new CodeMemo(4096);
    return *m;
}

struct Names {
    PyObject* fields = intern("_fields");
    PyObject* attributes = intern("_attributes");
    PyObject* pp = intern("_pp");
    PyObject* positions[4] = {intern("lineno"), intern("col_offset"), intern("end_lineno"), intern("end_col_offset")};
    bool position_or_mark(PyObject* key) const {
        return key == positions[0] || key == positions[1] || key == positions[2] || key == positions[3] || key == pp;
    }
};
const Names& names() {
    static const Names n;
    return n;
}

PyObject* as_object(PyTypeObject* tp) { return reinterpret_cast<PyObject*>(tp); }

// Appends to `out` everything of `o` that astor's text of it depends on:
// node classes, field values in field order (a float by its bits, so 0.0
// and -0.0 differ), list lengths. False when `o` holds anything else (a node
// of another class, an attribute beyond the fields and positions, a constant
// of another type), whose text is then made anew every time.
bool shape(PyObject* o, Shape& out, int depth) {
    if (depth > kMaxDepth || out.overflow || out.size > static_cast<std::size_t>(kMaxShape)) return false;
    PyTypeObject* tp = Py_TYPE(o);
    if (o == Py_None || o == Py_Ellipsis) {
        out.push(o);
        return true;
    }
    if (tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyBool_Type || tp == &PyBytes_Type) {
        out.push(as_object(tp));
        out.push_value(o);
        return true;
    }
    if (tp == &PyFloat_Type) {
        out.push(as_object(tp));
        out.push_bits(PyFloat_AS_DOUBLE(o));
        return true;
    }
    if (tp == &PyComplex_Type) {
        Py_complex z = PyComplex_AsCComplex(o);
        out.push(as_object(tp));
        out.push_bits(z.real);
        out.push_bits(z.imag);
        return true;
    }
    if (tp == &PyList_Type) {
        Py_ssize_t n = PyList_GET_SIZE(o);
        out.push(as_object(tp));
        out.push_number(static_cast<std::uint64_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!shape(PyList_GET_ITEM(o, i), out, depth + 1)) return false;
        return true;
    }
    const Names& nm = names();
    PyObject* fields = node_fields(tp);
    if (!fields) return false;
    PyObject* dict = node_dict(o);
    out.push(as_object(tp));
    if (!dict) return PyTuple_GET_SIZE(fields) == 0;
    const Py_ssize_t nfields = PyTuple_GET_SIZE(fields);
    const std::size_t start = out.size;
    // The usual dict, as the parser and the copies make it: the fields in
    // their order, then nothing but positions and astor's mark.
    {
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        bool usual = true;
        while (usual && insides::dict_next(dict, &pos, &key, &value)) {
            if (i < nfields) {
                usual = key == PyTuple_GET_ITEM(fields, i);
                ++i;
                if (usual && !shape(value, out, depth + 1)) return false;
                continue;
            }
            usual = nm.position_or_mark(key);
        }
        if (usual && i == nfields) return true;
        out.size = start;
    }
    // Any other order: each field by name, and nothing beyond them but the
    // class's positions. Only str keys, so the lookups run no Python code.
    PyObject* attributes = class_names(tp, nm.attributes);
    if (!attributes) return false;
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (insides::dict_next(dict, &pos, &key, &value))
            if (!PyUnicode_CheckExact(key)) return false;
    }
    Py_ssize_t known = 0;
    for (Py_ssize_t i = 0; i < nfields; ++i) {
        PyObject* v = PyDict_GetItemWithError(dict, PyTuple_GET_ITEM(fields, i));
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return false;
        }
        ++known;
        if (!shape(v, out, depth + 1)) return false;
    }
    auto has = [&](PyObject* name) {
        int r = PyDict_Contains(dict, name);
        if (r < 0) throw py::error_already_set();
        return r != 0;
    };
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(attributes); ++i) known += has(PyTuple_GET_ITEM(attributes, i));
    // astor's own mark from an earlier text; the text here never reads it.
    known += has(nm.pp);
    return known == PyDict_GET_SIZE(dict);
}

// The last tree handed out, as it was handed out: its nodes (class, dict and
// the dict's version tag) and lists (length, items) in an order where each
// comes after the one holding it. Nothing of it is held, so that a tree no
// one else can reach is told by its reference counts.
class HandedOut {
public:
    void record(PyObject* tree, py::handle source) {
        states_.clear();
        items_.clear();
        source_ = py::object();
        root_ = nullptr;
        if (!insides::usable() || !add(tree, 0)) {
            states_.clear();
            items_.clear();
            return;
        }
        source_ = py::reinterpret_borrow<py::object>(source);
        root_ = tree;
    }
    // The same record, taken while the tree is made (by copy_tree): begin,
    // then each node and list as it is made, holder first, then finish.
    void begin() {
        states_.clear();
        items_.clear();
        source_ = py::object();
        root_ = nullptr;
        taking_ = insides::usable();
    }
    // A new list of `n` items, filled in by `item` as they are made.
    std::size_t open_list(PyObject* list, Py_ssize_t n) {
        if (!room()) return 0;
        states_.push_back({list, true, n, nullptr, nullptr, 0});
        const std::size_t first = items_.size();
        items_.resize(first + static_cast<std::size_t>(n), nullptr);
        return first;
    }
    void item(std::size_t first, Py_ssize_t i, PyObject* o) {
        if (taking_) items_[first + static_cast<std::size_t>(i)] = o;
    }
    void shared_node(PyObject* node) {
        if (room()) states_.push_back({node, false, -1, Py_TYPE(node), nullptr, 0});
    }
    // A new node; its dict is read by close_node once every value is in.
    std::size_t open_node(PyTypeObject* tp) {
        if (!room()) return 0;
        states_.push_back({nullptr, false, 0, tp, nullptr, 0});
        return states_.size() - 1;
    }
    void close_node(std::size_t at, PyObject* node) {
        if (!taking_) return;
        PyObject* dict = node_dict(node);
        const std::uint64_t version = dict ? insides::dict_version(dict) : 0;
        if (!version) {
            taking_ = false;
            return;
        }
        states_[at].obj = node;
        states_[at].dict = dict;
        states_[at].version = version;
    }
    void finish(PyObject* tree, py::handle source) {
        if (!taking_) {
            states_.clear();
            items_.clear();
            return;
        }
        taking_ = false;
        source_ = py::reinterpret_borrow<py::object>(source);
        root_ = tree;
    }
    // `current` is that tree for the same source text, unchanged, and
    // nothing but its holder (`holders` references, all counted) reaches it
    // or any node, dict or list of it. Each object is read only once the
    // one holding it is known unchanged, so every object read is alive.
    bool untouched(PyObject* current, Py_ssize_t holders, PyObject* source) const {
        if (!root_ || current != root_ || source != source_.ptr()) return false;
        std::size_t item = 0;
        for (const State& st : states_) {
            if (!st.list && st.size < 0) {
                PyObject* dict = node_dict(st.obj);
                if (Py_TYPE(st.obj) != st.tp || (dict && PyDict_GET_SIZE(dict) != 0)) return false;
                continue;
            }
            const Py_ssize_t expected = st.obj == root_ ? holders : 1;
            if (Py_REFCNT(st.obj) != expected) return false;
            if (st.list) {
                if (PyList_GET_SIZE(st.obj) != st.size) return false;
                for (Py_ssize_t i = 0; i < st.size; ++i)
                    if (PyList_GET_ITEM(st.obj, i) != items_[item++]) return false;
                continue;
            }
            if (Py_TYPE(st.obj) != st.tp || node_dict(st.obj) != st.dict || Py_REFCNT(st.dict) != 1 ||
                insides::dict_version(st.dict) != st.version)
                return false;
        }
        return true;
    }

private:
    struct State {
        PyObject* obj;
        bool list;
        Py_ssize_t size;  // a list's length; -1 for a shared node
        PyTypeObject* tp;
        PyObject* dict;
        std::uint64_t version;
    };
    bool add(PyObject* o, int depth) {
        if (depth > kMaxDepth || static_cast<Py_ssize_t>(states_.size() + items_.size()) > kMaxShape) return false;
        if (PyList_CheckExact(o)) {
            const Py_ssize_t n = PyList_GET_SIZE(o);
            states_.push_back({o, true, n, nullptr, nullptr, 0});
            for (Py_ssize_t i = 0; i < n; ++i) items_.push_back(PyList_GET_ITEM(o, i));
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!add(PyList_GET_ITEM(o, i), depth + 1)) return false;
            return true;
        }
        if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(reg().AST))) return true;  // a constant
        PyObject* dict = node_dict(o);
        // A node without attributes is shared by every tree (the parser's
        // Load, Store and operators), as a copy shares it: it only has to
        // stay without any.
        if (!dict || PyDict_GET_SIZE(dict) == 0) {
            states_.push_back({o, false, -1, Py_TYPE(o), nullptr, 0});
            return true;
        }
        const std::uint64_t version = insides::dict_version(dict);
        if (!version) return false;
        states_.push_back({o, false, 0, Py_TYPE(o), dict, version});
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (insides::dict_next(dict, &pos, &key, &value))
            if (!add(value, depth + 1)) return false;
        return true;
    }
    bool room() {
        if (taking_ && static_cast<Py_ssize_t>(states_.size() + items_.size()) > kMaxShape) taking_ = false;
        return taking_;
    }
    std::vector<State> states_;
    std::vector<PyObject*> items_;
    py::object source_;
    PyObject* root_ = nullptr;
    bool taking_ = false;
};
HandedOut& handed_out() {
    static auto* h = new HandedOut();
    return *h;
}

// A copy of a node tree: every node of the parser's classes and every list
// new, everything else (constants, names, positions) shared. A node without
// any attribute (the parser's shared Load, Store and operator nodes) stays
// itself, as every parse gives it. Without `keep_marks`, astor's precedence
// mark is left out. nullptr when the tree is too deep or holds a node of
// another class, which is then not copied. With `rec`, the copy is recorded
// as it is made, as HandedOut::record would record it.
PyObject* copy_tree(PyObject* o, bool keep_marks, int depth, HandedOut* rec = nullptr);

// A value a copy shares as it is, told at once: most values a node holds
// are positions, names and constants.
inline bool plain_leaf(PyObject* v) {
    PyTypeObject* tp = Py_TYPE(v);
    return v == Py_None || tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyFloat_Type || tp == &PyBool_Type;
}

// Puts the copy of `v`, the value under `key` in the new dict `dict`, in its
// place; `ix` is the entry PyDict_Next gave it at (-1: unknown). False when
// it cannot be copied.
bool copy_value(PyObject* dict, Py_ssize_t ix, PyObject* key, PyObject* v, bool keep_marks, int depth,
                HandedOut* rec) {
    if (plain_leaf(v)) return true;
    PyObject* c = copy_tree(v, keep_marks, depth, rec);
    if (!c) return false;
    py::object value = steal(c);
    // A node kept as it is (a shared Load) needs no store.
    if (c == v) return true;
    // The dict is new and seen by no one yet: its entry is written in place.
    if (PyObject* old = insides::fresh_entry_exchange(dict, ix, key, c)) {
        Py_DECREF(old);  // still held by the dict it was copied from
        return true;
    }
    if (PyDict_SetItem(dict, key, c) < 0) throw py::error_already_set();
    return true;
}

PyObject* copy_tree(PyObject* o, bool keep_marks, int depth, HandedOut* rec) {
    if (depth > kMaxDepth) return nullptr;
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyList_Type) {
        Py_ssize_t n = PyList_GET_SIZE(o);
        py::object copy = steal(PyList_New(n));
        const std::size_t first = rec ? rec->open_list(copy.ptr(), n) : 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* v = PyList_GET_ITEM(o, i);
            PyObject* item = plain_leaf(v) ? Py_NewRef(v) : copy_tree(v, keep_marks, depth + 1, rec);
            if (!item) return nullptr;
            PyList_SET_ITEM(copy.ptr(), i, item);
            if (rec) rec->item(first, i, item);
        }
        return copy.release().ptr();
    }
    TypeSet::Slot* slot = plain_leaf(o) ? nullptr : orig().node_types.find(tp);
    if (!slot) return PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(reg().AST)) ? nullptr : Py_NewRef(o);
    PyObject* dict = node_dict(o);
    if (!dict || PyDict_GET_SIZE(dict) == 0) {
        if (rec) rec->shared_node(o);
        return Py_NewRef(o);
    }
    PyObject* fields = slot_fields(slot, tp);
    if (!fields) return nullptr;
    py::object copy_dict = steal(PyDict_Copy(dict));
    if (!keep_marks) {
        int marked = PyDict_Contains(copy_dict.ptr(), TVK_NAME("_pp"));
        if (marked < 0 || (marked && PyDict_DelItem(copy_dict.ptr(), TVK_NAME("_pp")) < 0))
            throw py::error_already_set();
    }
    const std::size_t at = rec ? rec->open_node(tp) : 0;
    const Py_ssize_t nfields = PyTuple_GET_SIZE(fields);
    // The usual dict, the fields first in their order: its entries are
    // walked in place (a value stored under a key it has leaves the walk
    // sound), with no lookup by name. From the first entry out of that
    // order on, the fields left are looked up by name.
    Py_ssize_t done = 0;
    {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (done < nfields && insides::dict_next(copy_dict.ptr(), &pos, &key, &value)) {
            if (key != PyTuple_GET_ITEM(fields, done)) break;
            ++done;
            if (!copy_value(copy_dict.ptr(), pos - 1, key, value, keep_marks, depth + 1, rec)) return nullptr;
        }
    }
    for (Py_ssize_t i = done; i < nfields; ++i) {
        PyObject* name = PyTuple_GET_ITEM(fields, i);
        PyObject* v = PyDict_GetItemWithError(copy_dict.ptr(), name);
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        if (!copy_value(copy_dict.ptr(), -1, name, v, keep_marks, depth + 1, rec)) return nullptr;
    }
    py::object node = node_with_dict(tp, copy_dict);
    if (rec) rec->close_node(at, node.ptr());
    return node.release().ptr();
}

// ---- nodes evaluated again --------------------------------------------------------

// The state of a node tree as its structure depends on it, read again by
// pointer comparisons alone: for every node its class (and that class's
// version tag) and its attribute dict with the dict's version tag, for every
// list its length and items. Everything it compares it holds, so no address
// it keeps can come to name another object; a dict's version tag is never
// that of any other state of any dict. Without version tags (the generic
// build) nothing is watched.
class Watched {
public:
    // False when the tree cannot be watched (nothing is then kept).
    bool take(PyObject* root) {
        if (!insides::usable()) return false;
        return add(root, 0);
    }
    bool same() const {
        for (const NodeState& n : nodes_) {
            if (Py_TYPE(n.node) != n.tp || insides::type_version(n.tp) != n.tp_version) return false;
            PyObject* dict = node_dict(n.node);
            if (dict != n.dict || (dict && insides::dict_version(dict) != n.version)) return false;
        }
        for (const ListState& l : lists_) {
            if (PyList_GET_SIZE(l.list) != l.size) return false;
            for (Py_ssize_t i = 0; i < l.size; ++i)
                if (PyList_GET_ITEM(l.list, i) != items_[l.first + static_cast<std::size_t>(i)]) return false;
        }
        return true;
    }

private:
    struct NodeState {
        PyObject* node;
        PyTypeObject* tp;
        unsigned tp_version;
        PyObject* dict;
        std::uint64_t version;
    };
    struct ListState {
        PyObject* list;
        Py_ssize_t size;
        std::size_t first;  // its items in items_
    };
    bool full() const { return static_cast<Py_ssize_t>(held_.size()) > kMaxShape; }
    bool add(PyObject* o, int depth) {
        if (depth > kMaxDepth || full()) return false;
        if (PyList_CheckExact(o)) {
            const Py_ssize_t n = PyList_GET_SIZE(o);
            held_.push_back(py::reinterpret_borrow<py::object>(o));
            lists_.push_back({o, n, items_.size()});
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PyList_GET_ITEM(o, i);
                items_.push_back(item);
                held_.push_back(py::reinterpret_borrow<py::object>(item));
            }
            // The items are held: read them from the copy kept here.
            const std::size_t first = lists_.back().first;
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!add(items_[first + static_cast<std::size_t>(i)], depth + 1)) return false;
            return true;
        }
        if (!PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(reg().AST))) return true;  // a constant
        PyTypeObject* tp = Py_TYPE(o);
        const unsigned tp_version = insides::tagged_type_version(tp);
        if (!tp_version) return false;
        PyObject* dict = node_dict(o);
        const std::uint64_t version = dict ? insides::dict_version(dict) : 0;
        if (dict && !version) return false;
        held_.push_back(py::reinterpret_borrow<py::object>(o));
        nodes_.push_back({o, tp, tp_version, dict, version});
        if (!dict) return true;
        // The values as the dict holds them now; held before any is walked.
        const std::size_t first = values_.size();
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (insides::dict_next(dict, &pos, &key, &value))
            if (PyList_CheckExact(value) || PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(reg().AST)))
                values_.push_back(py::reinterpret_borrow<py::object>(value));
        const std::size_t last = values_.size();
        for (std::size_t i = first; i < last; ++i)
            if (!add(values_[i].ptr(), depth + 1)) return false;
        return true;
    }
    std::vector<NodeState> nodes_;
    std::vector<ListState> lists_;
    std::vector<PyObject*> items_;
    std::vector<py::object> held_;
    std::vector<py::object> values_;
};

// A call rewritten by the library: a new Call whose fields are those of the
// call as written but for a new callee Name(id=name, ctx=Load()), with the
// version tags of the dicts involved as they stood when it was made.
struct Rewrite {
    py::object copy, original, callee, ctx;
    PyObject* copy_dict = nullptr;
    std::uint64_t copy_version = 0;
    PyObject* callee_dict = nullptr;
    std::uint64_t callee_version = 0;
    PyObject* original_dict = nullptr;
    std::uint64_t original_version = 0;

    // `node` is that rewrite, and neither it, its callee nor the call as
    // written has changed since: its fields but the callee are the very
    // objects of the call as written. Runs no Python code.
    bool of(PyObject* node) const {
        if (!copy || node != copy.ptr() || Py_TYPE(node) != Py_TYPE(original.ptr())) return false;
        if (node_dict(node) != copy_dict || insides::dict_version(copy_dict) != copy_version) return false;
        if (node_dict(original.ptr()) != original_dict || insides::dict_version(original_dict) != original_version)
            return false;
        if (Py_TYPE(callee.ptr()) != reinterpret_cast<PyTypeObject*>(reg().Name) ||
            node_dict(callee.ptr()) != callee_dict || insides::dict_version(callee_dict) != callee_version)
            return false;
        if (Py_TYPE(ctx.ptr()) != reinterpret_cast<PyTypeObject*>(reg().Load)) return false;
        PyObject* ctx_dict = node_dict(ctx.ptr());
        return !ctx_dict || PyDict_GET_SIZE(ctx_dict) == 0;
    }
};
// The last call rewritten, and the last one the library's own
// _zv_func_precall handed back as it was made.
Rewrite& draft_rewrite() {
    static auto* r = new Rewrite();
    return *r;
}
Rewrite& last_rewrite() {
    static auto* r = new Rewrite();
    return *r;
}

// The compiled code of a node evaluated before, for as long as the node (or,
// for a rewritten call, the call as written) stays as it was then. Keyed by
// the node, which the entry holds; a few hundred entries, the newest taking
// the place of the one at its slot.
struct Seen {
    py::object node;
    bool rewritten = false;
    int flags = 0;
    py::object callee_name;  // a rewritten call's callee name
    Watched watched;
    py::object code;
};
constexpr std::size_t kSeenSlots = 512;
std::unique_ptr<Seen>* seen_table() {
    static auto* t = new std::unique_ptr<Seen>[kSeenSlots];
    return t;
}
// The node last met at each slot and how often in a row, watched only from
// its third evaluation on: most nodes of a parse are evaluated once, and the
// body of a `while` twice (before the loop and in it), where watching would
// never be paid back.
struct Sight {
    py::object node;
    bool rewritten = false;
    int times = 0;
};
constexpr int kWatchFrom = 3;
Sight* first_sights() {
    static auto* t = new Sight[kSeenSlots];
    return t;
}
// The slots filled since the last parse ended.
std::vector<std::size_t>& seen_used() {
    static auto* v = new std::vector<std::size_t>();
    return *v;
}
std::size_t seen_slot(PyObject* node, bool rewritten) {
    auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(node)) * 0x9E3779B97F4A7C15ull;
    return (static_cast<std::size_t>(h >> 40) ^ (rewritten ? 1u : 0u)) & (kSeenSlots - 1);
}
// The callee name of the rewrite in `r` (borrowed).
PyObject* callee_name(const Rewrite& r) {
    return PyDict_GetItem(r.callee_dict, TVK_NAME("id"));
}

// ---- evaluation text ------------------------------------------------------------

// astor's text of the node, made from a copy so that the tree keeps no mark
// of it; of the node itself when no copy can be made.
py::object fresh_text(py::handle node) {
    PyObject* c = copy_tree(node.ptr(), false, 0);
    py::object copy = c ? steal(c) : py::reinterpret_borrow<py::object>(node);
    return steal(PyObject_CallOneArg(orig().to_source, copy.ptr()));
}

// The future features compile() takes over from the calling code: part of
// what a text compiles to.
int inherited_flags() {
    PyCompilerFlags cf = _PyCompilerFlags_INIT;
    PyEval_MergeCompilerFlags(&cf);
    return cf.cf_flags;
}

// compile(text, "<string>", "eval"), the front-end's own compile step.
py::object compile_text(py::handle text) {
    static PyObject* const filename = PyUnicode_InternFromString("<string>");
    static PyObject* const mode = PyUnicode_InternFromString("eval");
    PyObject* argv[] = {text.ptr(), filename, mode};
    return steal(PyObject_Vectorcall(reg().compile, argv, 3, nullptr));
}

bool take_fresh(py::handle node) {
    if (PySet_GET_SIZE(orig().fresh) == 0 || !is_node_type(Py_TYPE(node.ptr()))) return false;
    int r = PySet_Discard(orig().fresh, node.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

}  // namespace

py::object node_with_dict(PyTypeObject* tp, py::handle dict) {
    py::object node = steal(tp->tp_alloc(tp, 0));
    PyObject** dp = _PyObject_GetDictPtr(node.ptr());
    if (!dp) {
        PyErr_Format(PyExc_TypeError, "%s nodes have no attribute dict", tp->tp_name);
        throw py::error_already_set();
    }
    Py_XSETREF(*dp, Py_NewRef(dict.ptr()));
    return node;
}

py::object copy_node(py::handle node) {
    PyTypeObject* tp = Py_TYPE(node.ptr());
    // The parser's classes copy as copy.copy does it: a new node of the class
    // with the same fields (their __reduce__ gives the class and the dict).
    if (!is_node_type(tp)) return shallow_copy(node);
    PyObject* dict = node_dict(node.ptr());
    py::object fields = steal(dict ? PyDict_Copy(dict) : PyDict_New());
    return node_with_dict(tp, fields);
}

py::object function_source(py::handle func) {
    Originals& o = orig();
    PyObject* f = func.ptr();
    bool memo = own_getsource() &&
                Py_TYPE(f) == &PyFunction_Type;
    if (memo) {
        // getsource follows __wrapped__ to another function.
        PyObject* fdict = reinterpret_cast<PyFunctionObject*>(f)->func_dict;
        int wrapped = fdict ? PyDict_Contains(fdict, TVK_NAME("__wrapped__")) : 0;
        if (wrapped < 0) throw py::error_already_set();
        memo = wrapped == 0;
    }
    if (!memo) return call_method(global(TVK_NAME("inspect")), TVK_NAME("getsource"), {func});
    // Keyed by the code object's address, with the object itself in the
    // entry: the address names no other object while the entry holds it.
    py::object code = py::reinterpret_borrow<py::object>(PyFunction_GET_CODE(f));
    py::object key = steal(PyLong_FromVoidPtr(code.ptr()));
    if (PyObject* entry = sources().get(key.ptr()))
        if (PyTuple_GET_ITEM(entry, 0) == code.ptr()) return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(entry, 1));
    py::object source = steal(PyObject_CallOneArg(o.getsource, f));
    if (PyUnicode_CheckExact(source.ptr())) sources().put(key.ptr(), py::make_tuple(code, source).ptr());
    return source;
}

py::object parse_source(py::handle source) {
    Originals& o = orig();
    if (!own_parse() || !PyUnicode_CheckExact(source.ptr()))
        return call_method(global(TVK_NAME("ast")), TVK_NAME("parse"), {source});
    if (PyObject* kept = trees().get(source.ptr())) {
        HandedOut& rec = handed_out();
        rec.begin();
        if (PyObject* c = copy_tree(kept, true, 0, &rec)) {
            py::object tree = steal(c);
            rec.finish(tree.ptr(), source);
            return tree;
        }
    }
    py::object tree = steal(PyObject_CallOneArg(o.parse, source.ptr()));
    if (PyObject* c = copy_tree(tree.ptr(), true, 0)) {
        py::object kept = steal(c);
        trees().put(source.ptr(), kept.ptr());
    }
    handed_out().record(tree.ptr(), source);
    return tree;
}

py::object parse_again(py::handle source, py::handle current, Py_ssize_t holders) {
    if (current && own_parse() && handed_out().untouched(current.ptr(), holders, source.ptr()))
        return py::reinterpret_borrow<py::object>(current);
    return parse_source(source);
}

py::object node_code(py::handle node, bool& compiled) {
    compiled = false;
    if (!own_to_source()) return call_method(global(TVK_NAME("astor")), TVK_NAME("to_source"), {node});
    if (take_fresh(node)) return fresh_text(node);
    const int flags = inherited_flags();
    // A node evaluated before and unchanged since, or the library's rewrite of
    // a call as written that is: the code found for it then. Nothing here runs
    // Python code.
    const Rewrite& rewrite = last_rewrite();
    const bool rewritten = rewrite.of(node.ptr());
    PyObject* watched_node = rewritten ? rewrite.original.ptr() : node.ptr();
    const std::size_t slot = seen_slot(watched_node, rewritten);
    if (const Seen* seen = seen_table()[slot].get())
        if (seen->node.ptr() == watched_node && seen->rewritten == rewritten && seen->flags == flags &&
            (!rewritten || callee_name(rewrite) == seen->callee_name.ptr()) && seen->watched.same()) {
            compiled = true;
            return seen->code;
        }
    Sight& sight = first_sights()[slot];
    const bool again = sight.node.ptr() == watched_node && sight.rewritten == rewritten;
    py::object passed;  // the node met before at the slot, let go last
    if (!again) {
        if (!sight.node) seen_used().push_back(slot);
        passed = std::move(sight.node);
        sight.node = py::reinterpret_borrow<py::object>(watched_node);
        sight.rewritten = rewritten;
        sight.times = 1;
    } else if (sight.times < kWatchFrom) {
        ++sight.times;
    }
    std::unique_ptr<Seen> entry = sight.times >= kWatchFrom ? std::make_unique<Seen>() : nullptr;
    const bool watching = entry && entry->watched.take(watched_node);
    Shape structure;
    if (!shape(node.ptr(), structure, 0)) return fresh_text(node);
    structure.push_number(static_cast<std::uint64_t>(static_cast<unsigned>(flags)));
    if (structure.overflow) return fresh_text(node);
    const std::uint64_t h = structure.hash();
    compiled = true;
    py::object code;
    if (PyObject* known = codes().get(structure, h)) {
        code = py::reinterpret_borrow<py::object>(known);
    } else {
        auto made = CodeMemo::entry(structure, h);
        code = compile_text(fresh_text(node));
        codes().put(std::move(made), code);
    }
    // Kept only when what was watched still stands as the code was found for
    // it (making a text runs Python code).
    if (watching && entry->watched.same() && (!rewritten || rewrite.of(node.ptr()))) {
        entry->node = py::reinterpret_borrow<py::object>(watched_node);
        entry->rewritten = rewritten;
        entry->flags = flags;
        if (rewritten) entry->callee_name = py::reinterpret_borrow<py::object>(callee_name(rewrite));
        entry->code = code;
        // The entry replaced is let go last: its release may run Python code.
        std::swap(seen_table()[slot], entry);
        if (!entry) seen_used().push_back(slot);
    }
    return code;
}

namespace {

// ast.Load(): made as the type makes it while its construction is the one
// every node class has (which, given no argument, sets nothing).
py::object new_load() {
    auto* load = reinterpret_cast<PyTypeObject*>(reg().Load);
    auto* base = reinterpret_cast<PyTypeObject*>(reg().AST);
    if (load->tp_new != base->tp_new || load->tp_init != base->tp_init) return steal(PyObject_CallNoArgs(reg().Load));
    return steal(load->tp_alloc(load, 0));
}

}  // namespace

py::object rewritten_call(py::handle node, py::handle name) {
    PyTypeObject* tp = Py_TYPE(node.ptr());
    PyObject* original_dict = node_dict(node.ptr());
    // Watched only for a call of the parser's classes whose dict holds str
    // keys alone (so that no key's __eq__ runs while it is copied and set).
    const bool watch = insides::usable() && is_node_type(tp) && original_dict &&
                       insides::str_keys_only(original_dict) && PyUnicode_CheckExact(name.ptr());
    const std::uint64_t original_version = watch ? insides::dict_version(original_dict) : 0;
    py::object copy = copy_node(node);
    py::object fields = steal(PyDict_New());
    py::object ctx = new_load();
    if (PyDict_SetItem(fields.ptr(), TVK_NAME("id"), name.ptr()) < 0 ||
        PyDict_SetItem(fields.ptr(), TVK_NAME("ctx"), ctx.ptr()) < 0)
        throw py::error_already_set();
    py::object callee = node_with_dict(reinterpret_cast<PyTypeObject*>(reg().Name), fields);
    setattr(copy, TVK_NAME("func"), callee);
    Rewrite next;
    PyObject* copy_dict = node_dict(copy.ptr());
    if (watch && copy_dict && node_dict(node.ptr()) == original_dict &&
        insides::dict_version(original_dict) == original_version) {
        next.copy = copy;
        next.original = py::reinterpret_borrow<py::object>(node);
        next.callee = callee;
        next.ctx = ctx;
        next.copy_dict = copy_dict;
        next.copy_version = insides::dict_version(copy_dict);
        next.callee_dict = fields.ptr();
        next.callee_version = insides::dict_version(fields.ptr());
        next.original_dict = original_dict;
        next.original_version = original_version;
    }
    // The rewrite replaced is let go last: its release may run Python code.
    std::swap(draft_rewrite(), next);
    return copy;
}

void forget_evaluations() {
    // Emptied first, released after: a release may run Python code.
    std::vector<std::unique_ptr<Seen>> gone;
    std::vector<py::object> sights;
    for (std::size_t slot : seen_used()) {
        gone.push_back(std::move(seen_table()[slot]));
        sights.push_back(std::move(first_sights()[slot].node));
    }
    seen_used().clear();
    Rewrite draft, last;
    std::swap(draft_rewrite(), draft);
    std::swap(last_rewrite(), last);
}

void note_rewrite(py::handle copy) {
    Rewrite next;
    if (draft_rewrite().of(copy.ptr())) next = draft_rewrite();
    std::swap(last_rewrite(), next);
}

py::object own_registry_table(py::handle registry) {
    Originals& o = orig();
    PyObject* cls = registry.ptr();
    // The class found at load, looked up by type's own attribute access, its
    // two lookups still the ones it had.
    if (cls != o.kernel_function || Py_TYPE(cls)->tp_getattro != PyType_Type.tp_getattro) return py::object();
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    if (insides::type_lookup(tp, TVK_NAME("has_func")) != o.has_func ||
        insides::type_lookup(tp, TVK_NAME("get_func")) != o.get_func)
        return py::object();
    py::object table = getattr(registry, TVK_NAME("_registry"));
    return table;
}

void make_text_anew(py::handle node) {
    PyObject* fresh = orig().fresh;
    // A node of another class has its text made anew anyway.
    if (!is_node_type(Py_TYPE(node.ptr()))) return;
    // Marks are taken by the evaluation right after the hook; one left over
    // by a visitor that never evaluated its node only makes a text anew.
    if (PySet_GET_SIZE(fresh) >= 256 && PySet_Clear(fresh) < 0) throw py::error_already_set();
    if (PySet_Add(fresh, node.ptr()) < 0) throw py::error_already_set();
}

void register_memo(py::module_& m) {
    Originals& o = orig();
    py::object inspect = m.attr("inspect"), ast = m.attr("ast"), astor = m.attr("astor");
    o.inspect = keep(inspect);
    o.getsource = keep(inspect, "getsource");
    o.ast = keep(ast);
    o.parse = keep(ast, "parse");
    o.astor = keep(astor);
    o.to_source = keep(astor, "to_source");
    py::dict parser_classes = py::module_::import("_ast").attr("__dict__");
    for (auto item : parser_classes) {
        PyObject* v = item.second.ptr();
        if (PyType_Check(v) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(v),
                                                reinterpret_cast<PyTypeObject*>(reg().AST)))
            o.node_types.insert(reinterpret_cast<PyTypeObject*>(keep(v)));
    }
    o.kernel_function = keep(m.attr("KernelFunction"));
    o.has_func = insides::type_lookup(reinterpret_cast<PyTypeObject*>(o.kernel_function), TVK_NAME("has_func"));
    o.get_func = insides::type_lookup(reinterpret_cast<PyTypeObject*>(o.kernel_function), TVK_NAME("get_func"));
    if (!o.has_func || !o.get_func) throw std::runtime_error("KernelFunction lacks has_func or get_func");
    keep(o.has_func);
    keep(o.get_func);
    o.filename = intern("<string>");
    o.fresh = steal(PySet_New(nullptr)).release().ptr();
    sources().init();
    trees().init();
}

}  // namespace tvk::kernel
