// Nodes evaluated again within a parse: the code found for a node, kept by
// the node's identity for as long as the node and its tree stay as they
// were when it was found.
//
// Relies on: version tags. A dict's tag changes with every change of the
// dict and is never the tag of another state of any dict; a type's tag
// changes with every change of the type or a base. Everything a watch
// compares it holds, so no address it keeps can come to name another
// object. A watch is taken right before the node's structure is read, with
// no Python code between, and its code is kept only when the watched tree
// is as it was at the end. Without tags (the generic build) nothing is
// watched. The tables are reentrant: an evaluation nested in another (a
// finalizer, a hook) only replaces entries, each let go last.
#include "memo.hpp"

namespace tvk::kernel::memo {

namespace {

// The state of a node tree as its structure depends on it, read again by
// pointer comparisons alone: for every node its class (and that class's
// version tag) and its attribute dict with the dict's version tag, for every
// list its length and items.
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
            PyObject* dict;
            if (!node_dict(n.node, dict) || dict != n.dict || (dict && insides::dict_version(dict) != n.version))
                return false;
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
            held_.push_back(borrow(o));
            lists_.push_back({o, n, items_.size()});
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PyList_GET_ITEM(o, i);
                items_.push_back(item);
                held_.push_back(borrow(item));
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
        PyObject* dict;
        if (!node_dict(o, dict)) return false;
        const std::uint64_t version = dict ? insides::dict_version(dict) : 0;
        if (dict && !version) return false;
        held_.push_back(borrow(o));
        nodes_.push_back({o, tp, tp_version, dict, version});
        if (!dict) return true;
        // The values as the dict holds them now; held before any is walked.
        const std::size_t first = values_.size();
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (insides::dict_next(dict, &pos, &key, &value))
            if (PyList_CheckExact(value) || PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(reg().AST)))
                values_.push_back(borrow(value));
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

}  // namespace

// The compiled code of a node evaluated before, for as long as the node (or,
// for a rewritten call, the call as written) stays as it was then.
struct SeenEntry {
    Evaluation evaluation;
    Watched watched;
    py::object code;
};
void SeenDeleter::operator()(SeenEntry* e) const { delete e; }

namespace {

// Keyed by the node, which the entry holds; a few hundred entries, the
// newest taking the place of the one at its slot.
constexpr std::size_t kSeenSlots = 512;
Watch* seen_table() {
    static auto* t = new Watch[kSeenSlots];
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
std::size_t seen_slot(const Evaluation& e) {
    auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(e.node.ptr())) * 0x9E3779B97F4A7C15ull;
    return (static_cast<std::size_t>(h >> 40) ^ (e.rewritten ? 1u : 0u)) & (kSeenSlots - 1);
}
bool same_evaluation(const Evaluation& a, const Evaluation& b) {
    return a.node.ptr() == b.node.ptr() && a.rewritten == b.rewritten && a.flags == b.flags &&
           a.callee_name.ptr() == b.callee_name.ptr();
}

}  // namespace

PyObject* seen_code(const Evaluation& e) {
    const SeenEntry* seen = seen_table()[seen_slot(e)].get();
    if (seen && same_evaluation(seen->evaluation, e) && seen->watched.same()) return seen->code.ptr();
    return nullptr;
}

Watch start_watch(const Evaluation& e, py::object& passed) {
    const std::size_t slot = seen_slot(e);
    Sight& sight = first_sights()[slot];
    if (sight.node.ptr() != e.node.ptr() || sight.rewritten != e.rewritten) {
        if (!sight.node) seen_used().push_back(slot);
        passed = std::move(sight.node);
        sight.node = e.node;
        sight.rewritten = e.rewritten;
        sight.times = 1;
    } else if (sight.times < kWatchFrom) {
        ++sight.times;
    }
    if (sight.times < kWatchFrom) return Watch();
    Watch watch(new SeenEntry());
    if (!watch->watched.take(e.node.ptr())) return Watch();
    return watch;
}

void keep_seen(Watch watch, const Evaluation& e, py::handle node, py::handle code) {
    if (!watch || !watch->watched.same() || !still_rewrite(e, node)) return;
    watch->evaluation = e;
    watch->code = borrow(code);
    Watch& place = seen_table()[seen_slot(e)];
    if (!place) seen_used().push_back(seen_slot(e));
    // The entry replaced is let go last: its release may run Python code.
    std::swap(place, watch);
}

void forget_seen() {
    // Emptied first, released after: a release may run Python code.
    std::vector<Watch> gone;
    std::vector<py::object> sights;
    std::vector<std::size_t> used;
    std::swap(used, seen_used());
    for (std::size_t slot : used) {
        gone.push_back(std::move(seen_table()[slot]));
        sights.push_back(std::move(first_sights()[slot].node));
    }
}

}  // namespace tvk::kernel::memo

namespace tvk::kernel {

void forget_evaluations() {
    memo::forget_seen();
    memo::forget_rewrites();
}

}  // namespace tvk::kernel
