// InsChannel: the queue of one drive channel, with its numbered frames and
// envelopes, and the openers of the if, else and loop blocks.
#include "builder.hpp"
#include "docs.hpp"
#include "common/walk.hpp"

namespace tvk::builder {

void next_init(const Call& c, py::handle self, py::handle freqs, py::handle envelopes) {
    py::dict kw;
    kw["freqs"] = freqs;
    kw["envelopes"] = envelopes;
    call_next_init(c.cls, self, kw);
}

namespace {

py::object channel_init(const Call& c) {
    static const Signature sig("__init__", {"self", "freqs", "envelopes"}, 1, Signature::None,
                               {py::none(), py::none()});
    auto a = bind<3>(sig, c);
    next_init(c, a[0], a[1], a[2]);
    setattr(a[0], TVK_NAME("if_stack"), steal(PyList_New(0)));
    setattr(a[0], TVK_NAME("looping"), py::bool_(false));
    return py::none();
}

py::object clear(const Call& c) {
    static const Signature sig("clear", {"self"}, 1);
    auto a = bind<1>(sig, c);
    steal(PyObject_CallNoArgs(super_attr(c.cls, a[0], TVK_NAME("clear")).ptr()));
    setattr(a[0], TVK_NAME("looping"), py::bool_(false));
    return py::none();
}

struct TableKind {
    PyObject* table;       // f_set / e_set
    PyObject* handle_cls;  // Frame / Envelope
    const char* in_block;  // the refusal inside a block
    const char* not_int;   // the refusal of an index that is no integer
};

// max(iterable), as the builtin compares: an item replaces the largest so
// far when it is greater.
py::object largest(py::handle iterable) {
    py::object best;
    for_each(iterable, [&](py::handle item) {
        if (!best) {
            best = borrow(item);
            return;
        }
        int gt = PyObject_RichCompareBool(item.ptr(), best.ptr(), Py_GT);
        if (gt < 0) throw py::error_already_set();
        if (gt) best = borrow(item);
    });
    if (!best) throw std::invalid_argument("max() arg is an empty sequence");
    return best;
}

// Files a new handle under `idx` (the largest index plus one by default).
py::object file_handle(py::handle self, const TableKind& k, py::handle value, py::handle idx_arg) {
    // A block's own table is never compiled: a frame or envelope filed there
    // could never be linked, so a block refuses it as a plain queue does.
    if (is_block(self)) throw std::runtime_error(k.in_block);
    py::object table = getattr(self, k.table);
    py::object idx = borrow(idx_arg);
    if (idx.is_none()) {
        idx = truth(table) ? steal(PyNumber_Add(largest(table).ptr(), py_int(1).ptr())) : py_int(0);
    }
    if (!PyLong_Check(idx.ptr())) {
        PyErr_Format(PyExc_ValueError, "%s%S", k.not_int, type_of(idx).ptr());
        throw py::error_already_set();
    }
    py::object handle = steal(
        PyObject_CallFunctionObjArgs(global(k.handle_cls).ptr(), self.ptr(), idx.ptr(), value.ptr(), nullptr));
    if (PyObject_SetItem(table.ptr(), idx.ptr(), handle.ptr()) < 0) throw py::error_already_set();
    return handle;
}

template <bool IsFrame>
py::object ins_handle(const Call& c) {
    static const Signature sig(IsFrame ? "ins_frame" : "ins_envelope",
                               {"self", IsFrame ? "freq" : "envelope", "idx"}, 2, Signature::None,
                               {py::none()});
    auto a = bind<3>(sig, c);
    static const TableKind k =
        IsFrame ? TableKind{TVK_NAME("f_set"), TVK_NAME("Frame"), "Cannot create a new frame in the branch",
                            "frame的idx应为整数，而不是"}
                : TableKind{TVK_NAME("e_set"), TVK_NAME("Envelope"),
                            "Cannot create a new envelope in the branch", "envelop的idx应为整数，而不是"};
    return file_handle(a[0], k, a[1], a[2]);
}

// The channel of a block opened on `queue`: the queue itself when it is an
// InsChannel proper (or a caller's subclass of it that is no block), else the
// block's own channel.
py::object channel_of(py::handle queue) {
    if (type_of(queue).ptr() == global(TVK_NAME("InsChannel")).ptr()) return borrow(queue);
    if (!is_block(queue)) return getattr_or(queue, TVK_NAME("channel"), queue);
    return getattr(queue, TVK_NAME("channel"));
}

py::object make_block(PyObject* cls_name, py::handle channel) {
    return call_method(global(cls_name), TVK_NAME("from_channel"), {channel});
}

py::object ins_if(const Call& c) {
    static const Signature sig("ins_if", {"self", "formula"}, 2);
    auto a = bind<2>(sig, c);
    py::handle self = a[0];
    py::object block = make_block(TVK_NAME("InsIF"), channel_of(self));
    // The formula is parsed now: a refused one leaves the queue as it was.
    setattr(block, TVK_NAME("formula"), a[1]);
    call_method(self, TVK_NAME("_append_ins"), {block});
    call_method(getattr(self, TVK_NAME("if_stack")), TVK_NAME("append"), {block});
    return block;
}

py::object ins_else(const Call& c) {
    static const Signature sig("ins_else", {"self"}, 1);
    auto a = bind<1>(sig, c);
    py::handle self = a[0];
    py::object last = getattr(self, TVK_NAME("last_ins"));
    if (!is_instance(last, global(TVK_NAME("InsIF")))) {
        PyErr_Format(PyExc_RuntimeError, "The last call of ins_else must be ins_if, not %S",
                     type_of(last).ptr());
        throw py::error_already_set();
    }
    py::object stack = getattr(self, TVK_NAME("if_stack"));
    if (!truth(stack)) throw std::runtime_error("Please call if before calling else");
    py::object channel = channel_of(self);
    py::object if_block = call_method(stack, TVK_NAME("pop"));
    py::object else_block = make_block(TVK_NAME("InsElse"), channel);
    setattr(else_block, TVK_NAME("_if"), if_block);
    setattr(if_block, TVK_NAME("ins_else"), else_block);
    return else_block;
}

py::object ins_loop(const Call& c) {
    static const Signature sig("ins_loop", {"self", "times"}, 2);
    auto a = bind<2>(sig, c);
    py::handle self = a[0], times = a[1];
    if (truth(getattr(self, TVK_NAME("looping"))))
        throw std::runtime_error("The current object is already in the loop");
    // The exit test compares the counter, raised after each pass, for
    // equality with a 32-bit count: a count below 1 is never met and the
    // loop would not end.
    if (PyFloat_Check(times.ptr()) || !PyIndex_Check(times.ptr())) {
        PyErr_Format(PyExc_TypeError, "times must be an integer from 1 to 4294967295, not %.200s",
                     Py_TYPE(times.ptr())->tp_name);
        throw py::error_already_set();
    }
    py::object count = steal(PyNumber_Index(times.ptr()));
    if (compare(count, py_int(1), Py_LT)) {
        PyErr_Format(PyExc_ValueError, "times must be at least 1, not %S", count.ptr());
        throw py::error_already_set();
    }
    if (compare(count, py_int(4294967295LL), Py_GT)) {
        PyErr_Format(PyExc_ValueError, "times must be at most 4294967295, not %S", count.ptr());
        throw py::error_already_set();
    }
    py::object block = make_block(TVK_NAME("InsLoop"), channel_of(self));
    setattr(block, TVK_NAME("times"), times);
    call_method(self, TVK_NAME("_append_ins"), {block});
    return block;
}

}  // namespace

void register_channel(py::module_& m) {
    publish(m, "InsChannel",
            ClassBuilder("InsChannel", kModule)
                .base(global(TVK_NAME("InstructionQ")))
                .docs(kChannelDocs)
                .method("__init__", method<channel_init>())
                .method("clear", method<clear>())
                .method("ins_frame", method<ins_handle<true>>())
                .method("ins_envelope", method<ins_handle<false>>())
                .method("ins_if", method<ins_if>())
                .method("ins_else", method<ins_else>())
                .method("ins_loop", method<ins_loop>())
                .attr("__doc__", py::str("The program of one drive channel, with its frames and envelopes."))
                .build());
}

}  // namespace tvk::builder
