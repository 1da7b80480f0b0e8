// Process-wide configuration and the module's small helpers: global_config,
// zlv_config, _align_envelope_step, QNumber, AssemblyError, GenTagMixin and
// the optional waveforms library.
#include <pybind11/pybind11.h>

#include "ostrane.hpp"

namespace tvk::assembler {

py::object global_config_obj() { return module_global(reg().module_dict, TVK_NAME("global_config")); }

namespace {

PyObject* import(const char* name) {
    PyObject* m = PyImport_ImportModule(name);
    if (!m) throw py::error_already_set();
    return m;  // leaked: modules live for the process
}


py::object zlv_config(const Call& c) {
    static const Signature sig("zlv_config", {"name", "value"}, 2);
    auto a = bind<2>(sig, c);
    py::object gc = global_config_obj();
    if (PyObject_SetItem(gc.ptr(), a[0].ptr(), a[1].ptr()) < 0) throw py::error_already_set();
    return py::none();
}

py::object align_envelope_step(const Call& c) {
    static const Signature sig("_align_envelope_step", {"nbytes"}, 1);
    auto a = bind<1>(sig, c);
    py::object step = config(TVK_NAME("envelope_step"));
    PyObject* n = a[0].ptr();
    std::int64_t nv, sv;
    if (small_int(n, nv) && small_int(step.ptr(), sv) && sv != 0 && nv > -(1ll << 60) && nv < (1ll << 60) &&
        sv > -(1ll << 30) && sv < (1ll << 30))
        return py_int(num::floordiv(nv + sv - 1, sv) * sv);
    // ((nbytes + step - 1) // step) * step, then int().
    py::object s1 = steal(PyNumber_Subtract(step.ptr(), py_int(1).ptr()));
    py::object sum = steal(PyNumber_Add(n, s1.ptr()));
    py::object q = steal(PyNumber_FloorDivide(sum.ptr(), step.ptr()));
    py::object r = num_mul(q, step);
    return steal(PyNumber_Long(r.ptr()));
}

// ---- QNumber: a box whose number is read when it is converted ------------

py::object value_of(py::handle self) { return read_attr(self, TVK_NAME("value")); }

py::object qnumber_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1);
    auto a = bind<1>(sig, c);
    setattr(a[0], TVK_NAME("value"), py_int(0));
    return py::none();
}

py::object qnumber_int(const Call& c) { return steal(PyNumber_Long(value_of(self_only(c, "__int__")).ptr())); }

py::object qnumber_float(const Call& c) {
    return steal(PyNumber_Float(value_of(self_only(c, "__float__")).ptr()));
}

py::object qnumber_str(const Call& c) { return steal(PyObject_Str(value_of(self_only(c, "__str__")).ptr())); }

py::object qnumber_bool(const Call& c) { return py::bool_(truth(value_of(self_only(c, "__bool__")))); }

py::object qnumber_repr(const Call& c) {
    py::handle self = self_only(c, "__repr__");
    py::object name = read_attr(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))), TVK_NAME("__name__"));
    py::object text = steal(PyObject_Str(value_of(self).ptr()));
    return steal(PyUnicode_FromFormat("%S(%U)", name.ptr(), text.ptr()));
}

}  // namespace

void register_config(py::module_& m) {
    Registry& r = reg();
    r.module_dict = keep(m, "__dict__");

    PyObject* np = import("numpy");
    if (PyModule_AddObjectRef(m.ptr(), "np", np) < 0) throw py::error_already_set();
    r.ndarray = keep(np, "ndarray");
    r.np_uint32 = keep(np, "uint32");
    r.struct_error = keep(import("struct"), "error");

    import_optional(m, "waveforms", "wf", "HAS_WAVEFORM");

    py::object int16 = py::reinterpret_borrow<py::object>(np).attr("int16");
    py::list head;
    for (int v : {2, 0, 0, 4096}) head.append(v);
    for (int i = 0; i < 12; ++i) head.append(0);
    py::dict gc;
    gc["play_zero_step"] = 32;
    gc["OUTSrate"] = 8e9;
    gc["capture_step"] = 1.6e-08;
    gc["max_capture_width"] = 2.048e-06;
    gc["envelope_dtype"] = int16;
    gc["envelope_step"] = 64;
    gc["envelope_quant"] = 16383;
    gc["envelope_cache"] = 204800;
    gc["envelope_head"] = py::reinterpret_borrow<py::object>(np).attr("array")(head, int16);
    m.attr("global_config") = gc;

    add_function(m, "zlv_config", method<zlv_config>(),
                 "zlv_config(name, value): set one entry of global_config for the whole process.");
    add_function(m, "_align_envelope_step", method<align_envelope_step>(),
                 "nbytes rounded up to a multiple of global_config['envelope_step'].");

    r.QNumber = publish(m, "QNumber",
                        ClassBuilder("QNumber", kModule)
                            .method("__init__", method<qnumber_init>())
                            .method("__int__", method<qnumber_int>())
                            .method("__float__", method<qnumber_float>())
                            .method("__str__", method<qnumber_str>())
                            .method("__bool__", method<qnumber_bool>())
                            .method("__repr__", method<qnumber_repr>())
                            .attr("__doc__", py::str("A number settled later: `value` is read at each conversion."))
                            .build());
    r.AssemblyError = publish(m, "AssemblyError", make_exception("AssemblyError", kModule, PyExc_RuntimeError));
    r.GenTagMixin = publish(m, "GenTagMixin", make_gen_tag_mixin(kModule));
    // The property itself, as the class gives it.
    r.tag_property = pin(py::handle(r.GenTagMixin).attr("generate_tag"));
}

}  // namespace tvk::assembler
