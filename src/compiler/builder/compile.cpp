// Compiling a queue: its frames and envelopes, then its program with every
// block laid out in line (one output list passed down the block tree), a
// closing wait and end, and the labels resolved onto the records after them.
#include <algorithm>

#include "builder.hpp"
#include "docs.hpp"
#include "builder_core.hpp"
#include "common/recursion.hpp"
#include "common/walk.hpp"

namespace tvk::builder {

void compile_into(py::handle queue, Out& out) {
    RecursionGuard guard(" while compiling nested blocks");  // a block nested in itself, or nested too deep
    // The three layouts of this module are called directly (no list per level).
    static OwnSteps<1> own_compile({any_method(TVK_NAME("_compile"))});
    if (auto path = own_compile.open(queue.ptr())) {
        RawFn fn = (*path)[0].fn;
        if (fn == method<compile_method<flatten_into>>().fn) return flatten_into(queue, out);
        if (fn == method<compile_method<if_layout_into>>().fn) return if_layout_into(queue, out);
        if (fn == method<compile_method<loop_layout_into>>().fn) return loop_layout_into(queue, out);
    }
    py::object list = call_method(queue, TVK_NAME("_compile"));
    for_each(list, [&](py::handle item) { out.push_back(borrow(item)); });
}

void flatten_into(py::handle queue, Out& out) {
    py::object program = getattr(queue, TVK_NAME("i_set"));
    py::object block_base = global(TVK_NAME("InstructionQ"));
    // A list is walked by position: copying may run code that changes it.
    for_each(program, [&](py::handle item) {
        if (is_instance(item, block_base))
            compile_into(item, out);
        else
            out.push_back(shallow_copy(item));
    });
}

namespace {

// The records of a frame or envelope table, in ascending index order.
void append_table(py::handle self, PyObject* name, Out& out) {
    py::object table = getattr(self, name);
    py::object keys = steal(PySequence_List(table.ptr()));
    if (PyList_Sort(keys.ptr()) < 0) throw py::error_already_set();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
        py::object handle = steal(PyObject_GetItem(table.ptr(), PyList_GET_ITEM(keys.ptr(), i)));
        out.push_back(call_method(handle, TVK_NAME("format")));
    }
}

bool equal(py::handle a, py::handle b) { return truth(steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ))); }

// Drops the labels and moves every target that names one onto the record
// after it. Walking forward, label k would rewrite every target equal to it
// into the tag after it (a later label rewriting that again); the same result
// comes from composing the rewrites once, backward, into label -> final tag
// and looking each target up once.
py::list resolve_labels(Out& out) {
    py::object label_cls = global(TVK_NAME("QInsPlaceholder"));
    const std::size_t n = out.size();
    std::vector<char> is_label(n);
    std::vector<std::pair<py::object, py::object>> rewrites;  // (label, tag after it), in list order
    for (std::size_t i = 0; i < n; ++i) {
        is_label[i] = is_instance(out[i], label_cls);
        if (!is_label[i]) continue;
        if (i + 1 >= n) throw std::out_of_range("list index out of range");
        rewrites.emplace_back(tag_of(out[i]), tag_of(out[i + 1]));
    }
    if (rewrites.empty()) return to_list(out);

    bool texts = true;
    for (auto& [label, next] : rewrites)
        texts = texts && PyUnicode_CheckExact(label.ptr()) && PyUnicode_CheckExact(next.ptr());
    py::dict final_tag;
    if (texts) {
        for (auto k = rewrites.rbegin(); k != rewrites.rend(); ++k) {
            PyObject* f = PyDict_GetItemWithError(final_tag.ptr(), k->second.ptr());
            if (!f && PyErr_Occurred()) throw py::error_already_set();
            if (PyDict_SetItem(final_tag.ptr(), k->first.ptr(), f ? f : k->second.ptr()) < 0)
                throw py::error_already_set();
        }
    }

    // Every target is read before any is written, so a record that stands in
    // the list twice is rewritten once, as the forward walk does.
    py::object empty = make_str("");
    std::vector<py::object> targets(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (is_label[i]) continue;
        py::object v = getattr_or(out[i], TVK_NAME("target"), empty);
        if (texts && PyUnicode_CheckExact(v.ptr())) {
            PyObject* f = PyDict_GetItemWithError(final_tag.ptr(), v.ptr());
            if (!f && PyErr_Occurred()) throw py::error_already_set();
            if (f) targets[i] = borrow(f);
        } else if (!(texts && v.is_none())) {
            // Any other target: the rewrites one by one, with its own ==.
            bool touched = false;
            for (auto& [label, next] : rewrites)
                if (equal(v, label)) {
                    v = next;
                    touched = true;
                }
            if (touched) targets[i] = v;
        }
    }
    py::list result;
    for (std::size_t i = 0; i < n; ++i) {
        if (is_label[i]) continue;
        if (targets[i]) setattr(out[i], TVK_NAME("target"), targets[i]);
        if (PyList_Append(result.ptr(), out[i].ptr()) < 0) throw py::error_already_set();
    }
    return result;
}

py::object compile(const Call& c) {
    static const Signature sig("compile", {"self"}, 1);
    auto a = bind<1>(sig, c);
    py::handle self = a[0];
    Out out;
    append_table(self, TVK_NAME("f_set"), out);
    append_table(self, TVK_NAME("e_set"), out);
    compile_into(self, out);
    if (out.empty()) throw std::out_of_range("list index out of range");
    py::object wait_cls = global(TVK_NAME("QInsWait"));
    py::object end_cls = global(TVK_NAME("QInsEnd"));
    if (!is_instance(out.back(), wait_cls) && !is_instance(out.back(), end_cls))
        out.push_back(call_method(self, TVK_NAME("wait")));
    if (!is_instance(out.back(), end_cls)) out.push_back(call_method(self, TVK_NAME("end")));
    return resolve_labels(out);
}

std::u32string code_points(py::handle s) {
    if (PyUnicode_READY(s.ptr()) < 0) throw py::error_already_set();
    const int kind = PyUnicode_KIND(s.ptr());
    const void* data = PyUnicode_DATA(s.ptr());
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    std::u32string out(static_cast<std::size_t>(n), U'\0');
    for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
    return out;
}

py::object lookup(const Call& c) {
    static const Signature sig("lookup", {"self"}, 1);
    auto a = bind<1>(sig, c);
    py::object compiled = call_method(a[0], TVK_NAME("compile"));
    std::vector<std::u32string> lines;
    for_each(compiled, [&](py::handle item) { lines.push_back(code_points(steal(PyObject_Str(item.ptr())))); });
    py::object text = make_str(core::json_string_array(lines, 4));
    // As print() does: the text, then the line end, to sys.stdout as it is now.
    PyObject* stdout_ = PySys_GetObject("stdout");
    if (!stdout_ || stdout_ == Py_None) return py::none();
    py::object out = borrow(stdout_);
    call_method(out, TVK_NAME("write"), {text});
    call_method(out, TVK_NAME("write"), {make_str("\n")});
    return py::none();
}

}  // namespace

void add_compile_methods(ClassBuilder& b) {
    b.method("_compile", method<compile_method<flatten_into>>())
        .method("compile", method<compile>())
        .method("lookup", method<lookup>());
}

}  // namespace tvk::builder
