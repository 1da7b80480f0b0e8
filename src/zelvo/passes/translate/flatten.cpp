// Program flattening: the scheduled list of two levels becomes one sequence,
// without waits and landing placeholders; and the two padding measures of
// the module.
#include <algorithm>

#include "common/count.hpp"
#include "flatten_core.hpp"
#include "translate.hpp"

namespace tvk::translate {

namespace {

// seq[pos] with the interpreter's indexing (negative positions count from the
// end); a list or tuple in range is read directly.
py::object item_at(py::handle seq, std::int64_t pos) {
    PyObject* s = seq.ptr();
    if ((PyList_CheckExact(s) || PyTuple_CheckExact(s)) && pos >= 0 && pos < PySequence_Fast_GET_SIZE(s))
        return py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(s, pos));
    py::object idx = steal(PyLong_FromLongLong(pos));
    return steal(PyObject_GetItem(s, idx.ptr()));
}

// The categories of an item asked by its position: `bits(pos, item, wanted)`
// gives the bits of `wanted` (bit(Cat) values) that the item has.
using Bits = std::uint32_t;

// Asks the interpreter's instance test every time.
struct AskEach {
    Bits operator()(Py_ssize_t, py::handle item, Bits wanted) const {
        Bits b = 0;
        for (int c = 0; c < kNumCats; ++c)
            if ((wanted & bit(static_cast<Cat>(c))) && is(item, static_cast<Cat>(c))) b |= bit(static_cast<Cat>(c));
        return b;
    }
};

// Remembers the answers per position of one list, each asked at most once.
struct AskOnce {
    std::vector<Bits> known, bits;
    explicit AskOnce(std::size_t n) : known(n, 0), bits(n, 0) {}
    Bits operator()(Py_ssize_t pos, py::handle item, Bits wanted) {
        auto p = static_cast<std::size_t>(pos);
        if (Bits missing = wanted & ~known[p]) {
            bits[p] |= AskEach{}(pos, item, missing);
            known[p] |= missing;
        }
        return bits[p] & wanted;
    }
};

// delay.wait_time + 5 + count
py::object delay_total(py::handle delay, long count) {
    return (cycles(delay, TVK_NAME("wait_time")) + Count(5) + Count(count)).object();
}

// 1 plus the nops among the (at most 100) positions after `start`, up to the
// first delay, whose cycles and overhead then count as well. The position is
// start_index + i + 1 as the interpreter adds, compares and indexes it.
template <class Ask>
py::object count_nops_impl(py::handle start, py::handle seq, Ask& ask) {
    Py_ssize_t n = PyObject_Size(seq.ptr());
    if (n < 0) throw py::error_already_set();
    const Count first = Count::of(py::reinterpret_borrow<py::object>(start));
    long count = 1;
    // A start within the list: the positions are plain ints.
    if (first.plain() && first.value() >= 0 && first.value() < n) {
        const std::int64_t end = std::min<std::int64_t>(first.value() + 101, n);
        for (std::int64_t pos = first.value() + 1; pos < end; ++pos) {
            py::object item = item_at(seq, pos);
            const Bits k = ask(pos, item, bit(kNop) | bit(kDelay));
            if (k & bit(kNop)) ++count;
            if (k & bit(kDelay)) return delay_total(item, count);
        }
        return steal(PyLong_FromLong(count));
    }
    for (long i = 0; i < 100; ++i) {
        const Count pos = first + Count(i) + Count(1);
        if (pos >= Count(n)) break;
        py::object item;
        Bits k;
        if (pos.plain()) {
            item = item_at(seq, pos.value());
            // negative positions count from the end, as indexing does
            k = ask(pos.value() < 0 ? pos.value() + n : pos.value(), item, bit(kNop) | bit(kDelay));
        } else {
            item = steal(PyObject_GetItem(seq.ptr(), pos.object().ptr()));
            k = AskEach{}(0, item, bit(kNop) | bit(kDelay));
        }
        if (k & bit(kNop)) ++count;
        if (k & bit(kDelay)) return delay_total(item, count);
    }
    return steal(PyLong_FromLong(count));
}

// ir_calculate_time over a list or tuple, `index` an exact int.
template <class Ask>
py::object calc_time_impl(py::handle index, py::handle list, Ask& ask) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(list.ptr());
    const Count at = Count::of(py::reinterpret_borrow<py::object>(index));
    if (at >= Count(n) - Count(1)) {
        PyErr_SetString(PyExc_IndexError, "Index out of bounds");
        throw py::error_already_set();
    }
    // An index beyond 64 bits is a big negative one here, which list
    // indexing refuses with its own error.
    if (!at.plain()) steal(PyObject_GetItem(list.ptr(), index.ptr()));
    const std::int64_t i = at.value();
    py::object current = item_at(list, i);  // i >= -n from here on
    Bits k = ask(i < 0 ? i + n : i, current, bit(kFix) | bit(kPre) | bit(kNop) | bit(kUnfix) | bit(kOverlap));
    const bool setup = (k & bit(kPre)) && !(k & bit(kNop));
    if ((k & bit(kFix)) || (!setup && (k & bit(kUnfix)))) {
        py::object next = item_at(list, i + 1);
        if (ask(i + 1 < 0 ? i + 1 + n : i + 1, next, bit(kDelay))) return getattr(next, TVK_NAME("wait_time"));
        return count_nops_impl(index, list, ask);
    }
    if (setup || (k & bit(kOverlap))) return count_nops_impl(index, list, ask);
    return steal(PyLong_FromLong(0));
}

std::uint16_t flat_kind(Bits k) {
    std::uint16_t f = 0;
    if (k & bit(kUnfix)) f |= flat::kUnfix;
    if (k & bit(kJumpImm)) f |= flat::kJumpImm;
    if (k & bit(kNop)) f |= flat::kNop;
    if (k & bit(kDelay)) f |= flat::kDelay;
    if (k & bit(kWait)) f |= flat::kWait;
    if (k & bit(kPlaceholder)) f |= flat::kPlaceholder;
    return f;
}

py::object unfold_ir(const Call& c) {
    static const Signature sig("unfold_ir", {"ir_list"}, 1);
    auto b = bind<1>(sig, c);
    return std::move(flatten(b[0]).program);
}

py::object ir_calculate_time(const Call& c) {
    static const Signature sig("ir_calculate_time", {"index", "ir_list"}, 2);
    auto b = bind<2>(sig, c);
    py::object index = to_int_arg(b[0], "index");
    check_list(b[1], "ir_list");
    AskEach ask;
    return calc_time_impl(index, b[1], ask);
}

py::object count_nops(const Call& c) {
    static const Signature sig("count_nops", {"start_index", "ir_list"}, 2);
    auto b = bind<2>(sig, c);
    AskEach ask;
    return count_nops_impl(b[0], b[1], ask);
}

}  // namespace

Flat flatten(py::handle ir_list) {
    check_list(ir_list, "ir_list");
    // Tuples of our own: no code a property runs can move the items under us.
    py::object snap = steal(PyList_AsTuple(ir_list.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(snap.ptr());
    AskOnce ask(static_cast<std::size_t>(n));
    std::vector<std::uint16_t> top(static_cast<std::size_t>(n));
    std::vector<std::vector<std::uint16_t>> blocks(static_cast<std::size_t>(n));
    std::vector<py::object> block_items(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle ir = PyTuple_GET_ITEM(snap.ptr(), i);
        const Bits unfix = ask(i, ir, bit(kUnfix));
        // Nops, delays and jumps matter where they may pad a block head.
        const Bits wanted = bit(kPlaceholder) |
                            (unfix ? 0 : bit(kWait) | bit(kJumpImm) | bit(kNop) | bit(kDelay));
        top[static_cast<std::size_t>(i)] = flat_kind(unfix | ask(i, ir, wanted));
        if (!unfix) continue;
        // A block head may not end the list; the measure itself is not used.
        py::object index = steal(PyLong_FromSsize_t(i));
        calc_time_impl(index, snap, ask);
        py::object items = steal(PySequence_Tuple(getattr(ir, TVK_NAME("ir_sub")).ptr()));
        const Py_ssize_t m = PyTuple_GET_SIZE(items.ptr());
        auto& kinds = blocks[static_cast<std::size_t>(i)];
        kinds.resize(static_cast<std::size_t>(m));
        for (Py_ssize_t j = 0; j < m; ++j)
            kinds[static_cast<std::size_t>(j)] =
                flat_kind(AskEach{}(j, PyTuple_GET_ITEM(items.ptr(), j), bit(kWait) | bit(kPlaceholder)));
        block_items[static_cast<std::size_t>(i)] = std::move(items);
    }

    flat::Plan plan = flat::plan(top, blocks);
    auto object_of = [&](const flat::Ref& r) -> PyObject* {
        if (r.sub < 0) return PyTuple_GET_ITEM(snap.ptr(), r.top);
        return PyTuple_GET_ITEM(block_items[r.top].ptr(), r.sub);
    };
    Flat out;
    out.program = py::reinterpret_steal<py::list>(steal(PyList_New(static_cast<Py_ssize_t>(plan.order.size()))).release());
    for (std::size_t p = 0; p < plan.order.size(); ++p) {
        PyObject* item = object_of(plan.order[p]);
        Py_INCREF(item);
        PyList_SET_ITEM(out.program.ptr(), static_cast<Py_ssize_t>(p), item);
    }
    // The last landing place of a run names the instruction after it, unless
    // that one is a jump that resolves its operand by its own tag: then, like
    // the others of the run, its tag maps to that position.
    for (const flat::Handover& h : plan.handovers) {
        py::object tag = getattr(object_of(h.from), TVK_NAME("tag"));
        if (h.last) {
            py::handle taker = object_of(plan.order[h.pos]);
            if (!is(taker, kConditional) && !is(taker, kInside)) {
                setattr(taker, TVK_NAME("tag"), tag);
                continue;
            }
        }
        out.aliases.emplace_back(std::move(tag), h.pos);
    }
    return out;
}

void register_flatten(py::module_& m) {
    add_function(m, "unfold_ir", method<with_instance_cache<unfold_ir>>());
    add_function(m, "ir_calculate_time", method<with_instance_cache<ir_calculate_time>>());
    add_function(m, "count_nops", method<with_instance_cache<count_nops>>());
}

}  // namespace tvk::translate
