// Module tarvok.compiler.zel_wave: the instruction-queue builder. Loading it
// imports the assembler's public names, notes whether the waveforms library
// is present and makes the classes in their order.
#include <pybind11/pybind11.h>

#include "builder.hpp"

namespace tvk::builder {

py::object global(PyObject* name) { return module_global(reg().module_dict, name); }

py::object getattr_or(py::handle obj, PyObject* name, py::handle fallback) {
    py::object r = lookup_attr(obj, name);
    return r ? r : borrow(fallback);
}

PyObject* make_kwnames(std::initializer_list<const char*> names) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) throw py::error_already_set();
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(t, i++, Py_NewRef(intern(n)));
    return t;  // kept for the process
}

py::object fresh_tag(py::handle self) { return generate_tag_of(self, reg().generate_tag); }

py::object new_record(PyObject* cls_name, PyObject* kwnames, std::initializer_list<py::handle> values) {
    PyObject* stack[8];
    if (values.size() > 8 || static_cast<Py_ssize_t>(values.size()) != PyTuple_GET_SIZE(kwnames))
        throw std::logic_error("new_record: keyword names do not match the values");
    std::size_t n = 0;
    for (auto v : values) stack[n++] = v.ptr();
    return new_dataclass(global(cls_name), kwnames, stack);
}

py::object new_tagged(PyObject* cls_name, py::handle self) {
    static PyObject* const kw = make_kwnames({"tag"});
    return new_record(cls_name, kw, {fresh_tag(self)});
}

py::list to_list(Out& out) {
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(out.size()));
    if (!l) throw py::error_already_set();
    for (std::size_t i = 0; i < out.size(); ++i)
        PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), out[i].release().ptr());
    out.clear();
    return py::reinterpret_steal<py::list>(l);
}

void register_imports(py::module_& m) {
    Registry& r = reg();
    r.module_dict = keep(m, "__dict__");

    m.attr("copy") = py::module_::import("copy");
    m.attr("np") = py::module_::import("numpy");

    import_optional(m, "waveforms", "wf", "HAS_WAVEFORM");

    // Every public name of the sibling assembler module, as a wildcard import
    // of it binds them.
    py::module_ ostrane = import_sibling(m, "ostrane");
    star_import(m, ostrane);
    r.ostrane_dict = keep(ostrane, "__dict__");
    r.GenTagMixin = keep(global(TVK_NAME("GenTagMixin")));
    // The property itself, as the class gives it.
    r.generate_tag = pin(py::handle(r.GenTagMixin).attr("generate_tag"));
    // The records this module makes: their generated constructors may be
    // replayed directly while they stay in place.
    py::object all = ostrane.attr("__all__");
    for (py::handle n : all) {
        py::object value = getattr(ostrane, n.ptr());
        if (PyType_Check(value.ptr()) && PyObject_HasAttrString(value.ptr(), "__dataclass_fields__"))
            trust_dataclass_init(value);
    }
}

}  // namespace tvk::builder

TVK_MODULE(zel_wave, m) {
    using namespace tvk::builder;
    m.doc() = "Instruction-queue builder: per-channel programs compiled into command lists.";
    register_imports(m);  // copy, np, HAS_WAVEFORM, wf, the assembler's names
    register_handles(m);  // QInsPlaceholder, Wave (with Wave.Tag), Frame, Envelope, Signal
    register_queue(m);    // InstructionQ
    register_channel(m);  // InsChannel
    register_blocks(m);   // InsIF, InsElse, InsLoop
}
