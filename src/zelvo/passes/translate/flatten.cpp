// Program flattening: the scheduled list of two levels becomes one sequence,
// without waits and landing placeholders; and the two padding measures of
// the module.
#include "flatten_core.hpp"
#include "translate.hpp"

namespace tvk::tr {

namespace {

// seq[pos] with the interpreter's indexing (negative positions count from the
// end); a list in range is read directly.
py::object item_at(py::handle seq, std::int64_t pos) {
    PyObject* s = seq.ptr();
    if ((PyList_CheckExact(s) || PyTuple_CheckExact(s)) && pos >= 0 && pos < PySequence_Fast_GET_SIZE(s))
        return py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(s, pos));
    py::object idx = steal(PyLong_FromLongLong(pos));
    return steal(PyObject_GetItem(s, idx.ptr()));
}

// delay.wait_time + 5 + count
py::object delay_total(py::handle delay, long count) {
    static PyObject* const five = PyLong_FromLong(5);
    py::object wt = getattr(delay, TVK_NAME("wait_time"));
    py::object sum = steal(PyNumber_Add(wt.ptr(), five));
    py::object c = steal(PyLong_FromLong(count));
    return steal(PyNumber_Add(sum.ptr(), c.ptr()));
}

// 1 plus the nops among the (at most 100) positions after `start`, up to the
// first delay, whose cycles and overhead then count as well.
py::object count_nops_impl(py::handle start, py::handle seq, ClassTests& is) {
    Py_ssize_t n = PyObject_Size(seq.ptr());
    if (n < 0) throw py::error_already_set();
    long count = 1;
    std::int64_t s;
    const bool plain = small_int(start.ptr(), s) && s < INT64_MAX - 101;
    py::object len_obj = plain ? py::object() : steal(PyLong_FromSsize_t(n));
    for (long i = 0; i < 100; ++i) {
        py::object item;
        if (plain) {
            std::int64_t pos = s + i + 1;
            if (pos >= n) break;
            item = item_at(seq, pos);
        } else {
            // start_index + i + 1, compared and indexed as the interpreter does
            py::object off = steal(PyLong_FromLong(i));
            py::object pos = steal(PyNumber_Add(start.ptr(), off.ptr()));
            static PyObject* const one = PyLong_FromLong(1);
            pos = steal(PyNumber_Add(pos.ptr(), one));
            int past = PyObject_RichCompareBool(pos.ptr(), len_obj.ptr(), Py_GE);
            if (past < 0) throw py::error_already_set();
            if (past) break;
            item = steal(PyObject_GetItem(seq.ptr(), pos.ptr()));
        }
        std::uint32_t k = is.mask(item, bit(kNop) | bit(kDelay));
        if (k & bit(kNop)) ++count;
        if (k & bit(kDelay)) return delay_total(item, count);
    }
    return steal(PyLong_FromLong(count));
}

// ir_calculate_time over a list or tuple, `index` an exact int.
py::object calc_time_impl(py::handle index, py::handle list, ClassTests& is) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(list.ptr());
    std::int64_t i = 0;
    const bool plain = small_int(index.ptr(), i);
    bool past;
    if (plain) {
        past = i >= static_cast<std::int64_t>(n) - 1;
    } else {
        py::object last = steal(PyLong_FromSsize_t(n - 1));
        int r = PyObject_RichCompareBool(index.ptr(), last.ptr(), Py_GE);
        if (r < 0) throw py::error_already_set();
        past = r != 0;
    }
    if (past) {
        PyErr_SetString(PyExc_IndexError, "Index out of bounds");
        throw py::error_already_set();
    }
    // A big negative index fails here, as list indexing refuses it.
    py::object current = plain ? item_at(list, i) : steal(PyObject_GetItem(list.ptr(), index.ptr()));
    std::uint32_t k = is.mask(current, bit(kFix) | bit(kPre) | bit(kNop) | bit(kUnfix) | bit(kOverlap));
    const bool fix_like = (k & bit(kFix)) || (!((k & bit(kPre)) && !(k & bit(kNop))) && (k & bit(kUnfix)));
    if (fix_like) {
        py::object next = item_at(list, i + 1);
        if (is.is(next, kDelay)) return getattr(next, TVK_NAME("wait_time"));
        return count_nops_impl(index, list, is);
    }
    if (((k & bit(kPre)) && !(k & bit(kNop))) || (k & bit(kOverlap))) return count_nops_impl(index, list, is);
    return steal(PyLong_FromLong(0));
}

std::uint16_t top_kind(std::uint32_t k) {
    std::uint16_t f = 0;
    if (k & bit(kUnfix)) f |= flat::kUnfix;
    if (k & bit(kJumpImm)) f |= flat::kJumpImm;
    if (k & bit(kNop)) f |= flat::kNop;
    if (k & bit(kDelay)) f |= flat::kDelay;
    if (k & bit(kWait)) f |= flat::kWait;
    if (k & bit(kPlaceholder)) f |= flat::kPlaceholder;
    if (k & (bit(kConditional) | bit(kInside))) f |= flat::kOwnTagJump;
    return f;
}

constexpr std::uint32_t kTopBits = bit(kUnfix) | bit(kJumpImm) | bit(kNop) | bit(kDelay) | bit(kWait) |
                                   bit(kPlaceholder) | bit(kConditional) | bit(kInside);
constexpr std::uint32_t kBlockBits = bit(kWait) | bit(kPlaceholder) | bit(kConditional) | bit(kInside);

py::object unfold_ir(const Call& c) {
    static const Signature sig("unfold_ir", {"ir_list"}, 1);
    auto b = bind<1>(sig, c);
    ClassTests is = class_tests();
    return std::move(flatten(b[0], is).program);
}

py::object ir_calculate_time(const Call& c) {
    static const Signature sig("ir_calculate_time", {"index", "ir_list"}, 2);
    auto b = bind<2>(sig, c);
    py::object index = to_int_arg(b[0], "index");
    check_list(b[1], "ir_list");
    ClassTests is = class_tests();
    return calc_time_impl(index, b[1], is);
}

py::object count_nops(const Call& c) {
    static const Signature sig("count_nops", {"start_index", "ir_list"}, 2);
    auto b = bind<2>(sig, c);
    ClassTests is = class_tests();
    return count_nops_impl(b[0], b[1], is);
}

}  // namespace

Flat flatten(py::handle ir_list, ClassTests& is) {
    check_list(ir_list, "ir_list");
    // Tuples of our own: no code a property runs can move the items under us.
    py::object snap = steal(PyList_AsTuple(ir_list.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(snap.ptr());
    std::vector<std::uint16_t> top(static_cast<std::size_t>(n));
    std::vector<std::vector<std::uint16_t>> blocks(static_cast<std::size_t>(n));
    std::vector<py::object> block_items(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle ir = PyTuple_GET_ITEM(snap.ptr(), i);
        const std::uint16_t k = top_kind(is.mask(ir, kTopBits));
        top[static_cast<std::size_t>(i)] = k;
        if (!(k & flat::kUnfix)) continue;
        // A block head may not end the list; the measure itself is not used.
        py::object index = steal(PyLong_FromSsize_t(i));
        calc_time_impl(index, snap, is);
        py::object items = steal(PySequence_Tuple(getattr(ir, TVK_NAME("ir_sub")).ptr()));
        const Py_ssize_t m = PyTuple_GET_SIZE(items.ptr());
        auto& kinds = blocks[static_cast<std::size_t>(i)];
        kinds.resize(static_cast<std::size_t>(m));
        for (Py_ssize_t j = 0; j < m; ++j)
            kinds[static_cast<std::size_t>(j)] = top_kind(is.mask(PyTuple_GET_ITEM(items.ptr(), j), kBlockBits));
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
    for (const flat::Handover& h : plan.handovers) {
        py::object tag = getattr(object_of(h.from), TVK_NAME("tag"));
        if (h.rename)
            setattr(object_of(plan.order[h.pos]), TVK_NAME("tag"), tag);
        else
            out.aliases.emplace_back(std::move(tag), h.pos);
    }
    return out;
}

void register_flatten(py::module_& m) {
    add_function(m, "unfold_ir", method<unfold_ir>());
    add_function(m, "ir_calculate_time", method<ir_calculate_time>());
    add_function(m, "count_nops", method<count_nops>());
}

}  // namespace tvk::tr
