// The compiled code of an evaluated node, remembered per node structure.
//
// Relies on: astor's text of a node, compiled under given future features,
// being a function of the node's structure as the walk reads it: each node's
// class (with its version tag, which changes with any change of the class,
// _fields among them; without tags, the _fields tuple itself), the values
// of its fields in the order of those names, list lengths, and constants by
// exact type and value (a float by its bits, so 0.0 and -0.0 differ). The
// walk reads only exact types and looks up only exact str names in dicts
// of exact str keys, so no Python code runs while it reads: the objects it
// borrows stay alive, and what it reads is one state of the tree. A code
// is kept only under the structure of the very copy its text was made from,
// read again once the text is made (making a copy and a text runs Python
// code, which may change the node meanwhile).
#include "memo.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <utility>

namespace tvk::kernel::memo {

namespace {

// The items of a node's structure, in order: an address (a class, None), a
// number (a float's bits, a list's length), a value compared by value (a
// str, int or bytes) or an object compared by identity (a _fields tuple).
// Values and objects are borrowed from the tree while it is walked; an
// entry that keeps the items holds them.
struct Item {
    enum Kind : std::uint8_t { Address, Number, Value, Object };
    Kind kind;
    std::uint32_t tag;   // a class's version tag (0: none)
    std::uint64_t word;  // the address, the number, or the value's hash
    PyObject* value;     // a Value's or an Object's object; nullptr otherwise
    bool operator==(const Item& other) const {
        if (kind != other.kind || tag != other.tag || word != other.word) return false;
        if (kind != Value || value == other.value) return true;
        // Exact str, int and bytes of one type: comparing runs no Python code.
        return Py_TYPE(value) == Py_TYPE(other.value) && PyObject_RichCompareBool(value, other.value, Py_EQ) == 1;
    }
};

inline std::uint64_t address(const void* p) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)); }

// The walk's items go to one buffer kept for every evaluation: it is read
// only until Python code next runs (an entry takes its own copy first), so a
// nested evaluation never meets it half used. A walk stops once past
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
    bool full() const { return overflow || size > static_cast<std::size_t>(kMaxShape); }
    void add(Item it) {
        if (size < kShapeRoom)
            items[size++] = it;
        else
            overflow = true;
    }
    void push(const void* o) { add({Item::Address, 0, address(o), nullptr}); }
    void push_class(PyTypeObject* tp, unsigned version) { add({Item::Address, version, address(tp), nullptr}); }
    void push_object(PyObject* o) { add({Item::Object, 0, address(o), o}); }
    void push_number(std::uint64_t n) { add({Item::Number, 0, n, nullptr}); }
    void push_bits(double d) {
        std::uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        push_number(bits);
    }
    // An exact str, int, bool or bytes, whose hash cannot fail.
    void push_value(PyObject* o) { add({Item::Value, 0, static_cast<std::uint64_t>(PyObject_Hash(o)), o}); }
    std::uint64_t hash() const {
        std::uint64_t h = 0x243F6A8885A308D3ull ^ size;
        for (const Item& it : *this) {
            h ^= it.word + 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(it.kind) + it.tag + (h << 6) + (h >> 2);
            h *= 0xC2B2AE3D27D4EB4Full;
        }
        return h ^ (h >> 29);
    }
};

// The compiled code of each node structure met: a bounded memo in C++, the
// oldest entry dropped when a new one would pass the limit. An entry holds
// the values and objects its items compare (their addresses name no other
// object while it does), and its structure's classes are the parser's, kept
// for the process.
class CodeMemo {
public:
    struct Entry {
        std::uint64_t hash = 0;
        std::vector<Item> items;
        std::vector<py::object> held;
        py::object code;
        bool same(const Shape& shape) const {
            return items.size() == shape.size && std::equal(shape.begin(), shape.end(), items.begin());
        }
    };
    explicit CodeMemo(std::size_t limit) : limit_(limit) {}
    // Borrowed; nullptr when absent. Runs no Python code.
    PyObject* get(const Shape& shape, std::uint64_t h) const {
        auto range = index_.equal_range(h);
        for (auto it = range.first; it != range.second; ++it)
            if (it->second->same(shape)) return it->second->code.ptr();
        return nullptr;
    }
    // The entry for `shape`, its objects held: made before Python code next
    // runs, which could let go of one the walk only borrowed.
    static std::unique_ptr<Entry> entry(const Shape& shape, std::uint64_t h) {
        auto e = std::make_unique<Entry>();
        e->hash = h;
        e->items.assign(shape.begin(), shape.end());
        for (const Item& it : e->items)
            if (it.value) e->held.push_back(borrow(it.value));
        return e;
    }
    void put(std::unique_ptr<Entry> e, py::handle code) {
        e->code = borrow(code);
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

// The positions a node carries and astor's mark: never part of its text.
struct Names {
    PyObject* pp = intern("_pp");
    PyObject* positions[4] = {intern("lineno"), intern("col_offset"), intern("end_lineno"), intern("end_col_offset")};
    // This very name object (the parser's and the copies' keys are these).
    bool position_or_mark(PyObject* key) const {
        return key == positions[0] || key == positions[1] || key == positions[2] || key == positions[3] || key == pp;
    }
    // An exact str equal to one of them.
    bool names_position_or_mark(PyObject* key) const {
        if (position_or_mark(key)) return true;
        for (PyObject* p : positions)
            if (PyUnicode_Compare(key, p) == 0) return true;
        return PyUnicode_Compare(key, pp) == 0;
    }
};
const Names& names() {
    static const Names n;
    return n;
}

// `key`, an exact str, is one of the exact str names of `tuple`.
bool listed(PyObject* tuple, PyObject* key) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        PyObject* name = PyTuple_GET_ITEM(tuple, i);
        if (name == key || PyUnicode_Compare(name, key) == 0) return true;
    }
    return false;
}

// ---- the walk -------------------------------------------------------------------

bool shape(PyObject* o, Shape& out, int depth);

// A constant: its class, then its value. False, and nothing pushed, when
// `o` is no constant of these exact types.
bool shape_constant(PyObject* o, PyTypeObject* tp, Shape& out) {
    if (o == Py_None || o == Py_Ellipsis) {
        out.push(o);
    } else if (tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyBool_Type || tp == &PyBytes_Type) {
        out.push(tp);
        out.push_value(o);
    } else if (tp == &PyFloat_Type) {
        out.push(tp);
        out.push_bits(PyFloat_AS_DOUBLE(o));
    } else if (tp == &PyComplex_Type) {
        Py_complex z = PyComplex_AsCComplex(o);
        out.push(tp);
        out.push_bits(z.real);
        out.push_bits(z.imag);
    } else {
        return false;
    }
    return true;
}

// A list: its length, then its items.
bool shape_list(PyObject* o, Shape& out, int depth) {
    const Py_ssize_t n = PyList_GET_SIZE(o);
    out.push(&PyList_Type);
    out.push_number(static_cast<std::uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!shape(PyList_GET_ITEM(o, i), out, depth + 1)) return false;
    return true;
}

enum class Usual { Yes, No, Failed };

// The usual dict, as the parser and the copies make it: the fields in their
// order, each under the very name object of _fields, then nothing but
// positions and astor's mark.
Usual shape_usual_dict(PyObject* dict, PyObject* fields, Shape& out, int depth) {
    const Names& nm = names();
    const Py_ssize_t nfields = PyTuple_GET_SIZE(fields);
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (insides::dict_next(dict, &pos, &key, &value)) {
        if (i < nfields) {
            if (key != PyTuple_GET_ITEM(fields, i++)) return Usual::No;
            if (!shape(value, out, depth + 1)) return Usual::Failed;
        } else if (!nm.position_or_mark(key)) {
            return Usual::No;
        }
    }
    return i == nfields ? Usual::Yes : Usual::No;
}

// Any other dict: every key an exact str naming a field, a position or
// astor's mark, every field there, each read by its name in field order.
bool shape_named_fields(PyObject* dict, PyObject* fields, Shape& out, int depth) {
    const Names& nm = names();
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (insides::dict_next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key) || !(listed(fields, key) || nm.names_position_or_mark(key))) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        PyObject* v = PyDict_GetItemWithError(dict, PyTuple_GET_ITEM(fields, i));
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return false;
        }
        if (!shape(v, out, depth + 1)) return false;
    }
    return true;
}

// A node of the parser's classes: its class and what its text depends on
// of the class (the version tag, or the _fields tuple without one), then
// its fields.
bool shape_node(PyObject* o, PyTypeObject* tp, Shape& out, int depth) {
    TypeSet::Slot* slot = orig().node_types.find(tp);
    if (!slot) return false;
    unsigned version = 0;
    PyObject* fields = slot_fields(slot, tp, version);
    PyObject* dict;
    if (!fields || !node_dict(o, dict)) return false;
    out.push_class(tp, version);
    if (!version) out.push_object(fields);
    if (!dict) return PyTuple_GET_SIZE(fields) == 0;
    const std::size_t start = out.size;
    switch (shape_usual_dict(dict, fields, out, depth)) {
        case Usual::Yes: return true;
        case Usual::Failed: return false;
        case Usual::No: break;
    }
    out.size = start;
    return shape_named_fields(dict, fields, out, depth);
}

// Appends to `out` everything of `o` that astor's text of it depends on.
// False when `o` holds anything else (a node of another class, an
// attribute beyond the fields and positions, a constant of another type),
// whose text is then made anew every time.
bool shape(PyObject* o, Shape& out, int depth) {
    if (depth > kMaxDepth || out.full()) return false;
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == &PyList_Type) return shape_list(o, out, depth);
    if (shape_constant(o, tp, out)) return true;
    return shape_node(o, tp, out, depth);
}

// The structure of `o` under the future features `flags`, into `out`; false
// when it has none the memo can key on.
bool structure_of(PyObject* o, int flags, Shape& out) {
    if (!shape(o, out, 0)) return false;
    out.push_number(static_cast<std::uint64_t>(static_cast<unsigned>(flags)));
    return !out.overflow;
}

// ---- the text -----------------------------------------------------------------------

// astor's text of `tree`.
py::object to_source(py::handle tree) { return steal(PyObject_CallOneArg(orig().to_source.func(), tree.ptr())); }

// A copy of the node to make its text from, so that the tree keeps no mark
// of it; empty when none can be made.
py::object text_copy(py::handle node) {
    PyObject* c = copy_tree(node.ptr(), false, 0);
    return c ? steal(c) : py::object();
}

// astor's text of the node, made from a copy; of the node itself when no
// copy can be made.
py::object fresh_text(py::handle node) {
    py::object copy = text_copy(node);
    return to_source(copy ? copy : node);
}

// The future features compile() takes over from the calling code: part of
// what a text compiles to.
int inherited_flags() {
    PyCompilerFlags cf = {0, PY_MINOR_VERSION};
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
    PyObject* fresh = orig().fresh;
    if (PySet_GET_SIZE(fresh) == 0 || !is_node_type(Py_TYPE(node.ptr()))) return false;
    int r = PySet_Discard(fresh, node.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// The code of a node whose structure is not in the memo: compiled from a
// copy's text and kept when the copy, read again after its text was made,
// has the structure looked up (`kept` true).
py::object compile_anew(py::handle node, const Shape& looked_up, std::uint64_t h, int flags, bool& kept) {
    auto made = CodeMemo::entry(looked_up, h);
    py::object copy = text_copy(node);
    py::object code = compile_text(to_source(copy ? copy : node));
    Shape now;
    kept = copy && structure_of(copy.ptr(), flags, now) && made->same(now);
    if (kept) codes().put(std::move(made), code);
    return code;
}

}  // namespace

}  // namespace tvk::kernel::memo

namespace tvk::kernel {

py::object node_code(py::handle node, bool& compiled) {
    using namespace memo;
    compiled = false;
    if (!own_to_source()) return call_method(global(TVK_NAME("astor")), TVK_NAME("to_source"), {node});
    if (take_fresh(node)) return fresh_text(node);
    const int flags = inherited_flags();
    // A node evaluated before in this parse and unchanged since, or the
    // library's rewrite of a call as written that is: the code found for it
    // then.
    const Evaluation e = evaluation_of(node, flags);
    if (PyObject* seen = seen_code(e)) {
        compiled = true;
        return borrow(seen);
    }
    py::object passed;  // let go last: its release may run Python code
    Watch watch = start_watch(e, passed);
    // From the watch on, no Python code runs until the structure is read.
    Shape structure;
    if (!structure_of(node.ptr(), flags, structure)) return fresh_text(node);
    const std::uint64_t h = structure.hash();
    compiled = true;
    py::object code;
    if (PyObject* known = codes().get(structure, h)) {
        code = borrow(known);
    } else {
        bool kept = false;
        code = compile_anew(node, structure, h, flags, kept);
        if (!kept) return code;
    }
    keep_seen(std::move(watch), e, node, code);
    return code;
}

void make_text_anew(py::handle node) {
    PyObject* fresh = memo::orig().fresh;
    // A node of another class has its text made anew anyway.
    if (!memo::is_node_type(Py_TYPE(node.ptr()))) return;
    // Marks are taken by the evaluation right after the hook; one left over
    // by a visitor that never evaluated its node only makes a text anew.
    if (PySet_GET_SIZE(fresh) >= 256 && PySet_Clear(fresh) < 0) throw py::error_already_set();
    if (PySet_Add(fresh, node.ptr()) < 0) throw py::error_already_set();
}

}  // namespace tvk::kernel
