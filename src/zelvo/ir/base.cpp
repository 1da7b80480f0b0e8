// Module configuration, AssemblyError, the tag mixin and the abstract root of
// every instruction.
#include <pybind11/pybind11.h>

#include "ir.hpp"

#include "common/mapping.hpp"
#include "common/text.hpp"

namespace tvk::ir {

// The flag class refuses to rebind its members, so each is read once.
py::object sim_type(PyObject* member) {
    static std::pair<PyObject*, PyObject*> known[8] = {};  // (interned name, member), kept for the process
    for (auto& [name, value] : known) {
        if (name == member) return py::reinterpret_borrow<py::object>(value);
        if (!name) {
            py::object v = read_attr(reg().SimIRType, member);
            name = member;
            value = v.inc_ref().ptr();
            return v;
        }
    }
    return read_attr(reg().SimIRType, member);
}

py::object compile_param(py::handle self, PyObject* key, py::handle fallback) {
    static AttrChain params;
    return mapping_get(params.get(self.ptr(), TVK_NAME("kernel"), TVK_NAME("compile_params")), key, fallback);
}

std::string whose(py::handle self) {
    py::object kernel = read_attr(self, TVK_NAME("kernel"));
    if (kernel.is_none()) return {};
    py::object name = lookup_attr(kernel, TVK_NAME("name"));
    if (!name) return {};
    std::string out = "in kernel ";
    append_str(out, name);
    py::object line = read_attr(self, TVK_NAME("line"));
    if (PyLong_Check(line.ptr()) && PyObject_IsTrue(line.ptr()) == 1) {
        out += ", line ";
        append_str(out, line);
    }
    return out + ": ";
}

void raise_assembly_error(const std::string& message) {
    PyErr_SetString(reg().AssemblyError, message.c_str());
    throw py::error_already_set();
}

void raise_assembly_error(py::handle self, const char* message) {
    PyObject* name = PyType_GetName(Py_TYPE(self.ptr()));
    if (!name) throw py::error_already_set();
    PyObject* exc = PyObject_CallFunction(reg().AssemblyError, "Os", name, message);
    Py_DECREF(name);
    if (!exc) throw py::error_already_set();
    PyErr_SetObject(reg().AssemblyError, exc);
    Py_DECREF(exc);
    throw py::error_already_set();
}

void base_fields(PyObject* self, PyObject* kwargs) {
    PyObject* kernel = nullptr;
    if (kwargs) {
        kernel = PyDict_GetItemWithError(kwargs, TVK_NAME("kernel"));
        if (!kernel && PyErr_Occurred()) throw py::error_already_set();
    }
    static InlineFields fields({"tag", "real_wait_time", "line", "kernel", "index_map"});
    static PyObject* const zero = PyLong_FromLong(0);  // the interpreter's own small int
    py::object tag = generate_tag_of(self, reg().tag_property);
    py::object index_map = steal(PyDict_New());
    fields.set(self, {tag.ptr(), zero, zero, kernel ? kernel : Py_None, index_map.ptr()});
}

namespace {

// zlv_config(name, value): one key of the module's global_config, looked up
// at the call so a rebound dictionary is the one changed.
py::object zlv_config(const Call& c) {
    static const Signature sig("zlv_config", {"name", "value"}, 2);
    auto b = bind<2>(sig, c);
    py::object cfg = module_global(reg().module_dict, TVK_NAME("global_config"));
    if (PyObject_SetItem(cfg.ptr(), b.v[0], b.v[1]) < 0) throw py::error_already_set();
    return py::none();
}

// IRBase(**kwargs): the five common fields; ends the constructor chain.
py::object base_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1, Signature::VarKw);
    auto b = bind_init<1>(sig, c);
    base_fields(b.v[0], b.kwargs ? b.kwargs.ptr() : nullptr);
    return py::none();
}

py::object text_form(py::handle self) {
    PyObject* s = PyObject_Str(self.ptr());
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

py::object base_repr(const Call& c) {
    py::handle self = self_only(c, "__repr__");
    py::object tag = py_str(read_attr(self, TVK_NAME("tag")));
    py::object text = text_form(self);
    PyObject* r = PyUnicode_FromFormat("<%s: %U>: %U", Py_TYPE(self.ptr())->tp_name, tag.ptr(), text.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// The two steps of the text form, when both are this layer's own methods
// and nothing shadows them.
OwnSteps<2>& text_steps() {
    static OwnSteps<2> gate({any_method(TVK_NAME("_check_attr")), any_method(TVK_NAME("_pack_cmd"))});
    return gate;
}

py::object base_str(const Call& c) {
    py::handle self = self_only(c, "__str__");
    if (auto path = text_steps().open(self.ptr())) {
        const MethodEntry& check = (*path)[0];
        const MethodEntry& pack = (*path)[1];
        if (check.fn == method<no_check_attr>().fn) return pack.call(self.ptr());
        check.call(self.ptr());
        // The check ran code of its own: look the line up afresh.
        return call_own(self, TVK_NAME("_pack_cmd"));
    }
    call_own(self, TVK_NAME("_check_attr"), method<no_check_attr>().fn);
    return call_own(self, TVK_NAME("_pack_cmd"));
}

py::object base_format(const Call& c) {
    static const Signature sig("__format__", {"self", "format_spec"}, 2);
    auto b = bind<2>(sig, c);
    py::object text = text_form(b[0]);
    PyObject* r = PyObject_Format(text.ptr(), b.v[1]);
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object base_len(const Call& c) {
    py::handle self = self_only(c, "__len__");
    py::object text = text_form(self);
    Py_ssize_t n = PyObject_Length(text.ptr());
    if (n < 0) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(PyLong_FromSsize_t(n));
}

}  // namespace

py::object empty_pack_cmd(const Call& c) {
    self_only(c, "_pack_cmd");
    static PyObject* const empty = intern("");
    return py::reinterpret_borrow<py::object>(empty);
}

py::object no_check_attr(const Call& c) {
    self_only(c, "_check_attr");
    return py::none();
}

py::object call_own(py::handle self, PyObject* name, RawFn skip) {
    if (MethodEntry own = Instance(self.ptr()).own_member(name)) {
        if (own.fn == skip) return py::none();
        return own.call(self.ptr());
    }
    return call_method(self, name);
}

void register_config(py::module_& m) {
    Registry& r = reg();
    r.module_dict = keep(m, "__dict__");
    // The names a Python module of this kind would import.
    py::module_ math = py::module_::import("math");
    m.attr("math") = math;
    m.attr("ceil") = math.attr("ceil");
    m.attr("uuid") = py::module_::import("uuid");
    m.attr("abc") = py::module_::import("abc");
    py::module_ typing = py::module_::import("typing");
    for (const char* n : {"Union", "List", "Tuple", "Dict", "TYPE_CHECKING"}) m.attr(n) = typing.attr(n);
    m.attr("IntFlag") = py::module_::import("enum").attr("IntFlag");
    py::module_ np = py::module_::import("numpy");
    m.attr("np") = np;
    r.numpy = keep(np);
    r.np_zeros = keep(np, "zeros");

    m.attr("__all__") = py::list();  // filled once every class exists
    py::dict cfg;
    cfg["play_zero_step"] = 32;
    cfg["OUTSrate"] = 8e9;
    cfg["capture_step"] = 1.6e-8;
    cfg["max_capture_width"] = 2.048e-6;
    cfg["envelope_dtype"] = np.attr("int16");
    cfg["envelope_step"] = 64;
    cfg["envelope_quant"] = 16383;
    cfg["envelope_cache"] = 204800;
    py::list head;
    head.append(2);
    head.append(0);
    head.append(0);
    head.append(4096);
    for (int i = 0; i < 12; ++i) head.append(0);
    cfg["envelope_head"] = np.attr("array")(head, np.attr("int16"));
    cfg["IRWait_overhead"] = 5;
    m.attr("global_config") = cfg;
    add_function(m, "zlv_config", method<zlv_config>());

    r.AssemblyError = publish(m, "AssemblyError", make_exception("AssemblyError", kModule, PyExc_RuntimeError));
    r.GenTagMixin = publish(m, "GenTagMixin", make_gen_tag_mixin(kModule));
    // The property itself, as the class gives it.
    r.tag_property = pin(py::handle(r.GenTagMixin).attr("generate_tag"));
}

void register_base(py::module_& m) {
    py::object abc_cls = py::module_::import("abc").attr("ABC");
    PyObject* cls = define_class(m, kModule, "IRBase", {reg().GenTagMixin, abc_cls.ptr()}, [](ClassBuilder& b) {
        b.method("__init__", method<base_init>())
            .method("__repr__", method<base_repr>())
            .method("__str__", method<base_str>())
            .method("__format__", method<base_format>())
            .method("__len__", method<base_len>())
            .abstract_method("_pack_cmd", method<empty_pack_cmd>())
            .abstract_method("_check_attr", method<no_check_attr>())
            .abstract_property("overhead", getter<const_int<0>>())
            .abstract_property("wait_time", getter<const_int<0>>());
    });
    reg().IRBase = cls;
    // Held, so that no other object can ever be taken for it.
    reg().base_init = keep(py::handle(reinterpret_cast<PyTypeObject*>(cls)->tp_dict)[py::str("__init__")]);
}

}  // namespace tvk::ir
