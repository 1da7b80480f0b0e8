// The nine categories: how the passes treat an instruction, the fields that
// treatment needs, and defaults for the members IRBase leaves abstract.
#include "ir.hpp"

#include "common/mapping.hpp"

namespace tvk::ir {

namespace {

// Runs the rest of the constructor chain, then sets this category's fields.
template <void (*SetFields)(py::handle)>
py::object category_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1, Signature::VarKw);
    auto b = bind_init<1>(sig, c);
    // The chain mostly ends in IRBase's own __init__, run here directly.
    if (next_init(c.cls, b[0]) == reg().base_init)
        base_fields(b.v[0], b.kwargs ? b.kwargs.ptr() : nullptr);
    else
        call_next_init(c.cls, b[0], b.kwargs);
    SetFields(b[0]);
    return py::none();
}

void no_fields(py::handle) {}

PyObject* small_int(long v) { return PyLong_FromLong(v); }  // the interpreter's own, never freed

void unfix_fields(py::handle self) {
    static InlineFields fields({"ir_sub", "irhead"});
    static PyObject* const zero = small_int(0);
    py::object sub = steal(PyList_New(0));
    fields.set(self.ptr(), {sub.ptr(), zero});
}

void load_ddr_fields(py::handle self) {
    static InlineFields fields({"wait_trig", "b_width", "mode"});
    static PyObject* const two = small_int(2);
    static PyObject* const zero = small_int(0);
    fields.set(self.ptr(), {Py_False, two, zero});
}

void simulation_fields(py::handle self) {
    static InlineFields fields({"sim_ir_type"});
    fields.set(self.ptr(), {sim_type(TVK_NAME("NORMAL")).ptr()});
}

void jump_fields(py::handle self) {
    static InlineFields fields({"target", "cmd_idx"});
    static PyObject* const zero = small_int(0);
    fields.set(self.ptr(), {Py_None, zero});
}

py::object fetch_ir(const Call& c) {
    static const Signature sig("fetch_ir", {"self", "ir"}, 2);
    auto b = bind<2>(sig, c);
    call_method(read_attr(b[0], TVK_NAME("ir_sub")), TVK_NAME("append"), {b[1]});
    return py::none();
}

// Length in samples: the integer part of the instance's wait time.
py::object sim_duration(py::handle self) {
    py::object w = read_attr(self, TVK_NAME("wait_time"));
    PyObject* r = PyNumber_Long(w.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object sim_data(const Call& c) {
    static const Signature sig("sim_data", {"self"}, 1, Signature::VarPos | Signature::VarKw);
    auto b = bind<1>(sig, c);
    py::object d = read_attr(b[0], TVK_NAME("duration"));
    PyObject* r = PyObject_CallOneArg(reg().np_zeros, d.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object mapping_target(const Call& c) {
    py::handle self = self_only(c, "mapping_target");
    py::object kernel = read_attr(self, TVK_NAME("kernel"));
    if (kernel.is_none()) {
        setattr(self, TVK_NAME("cmd_idx"), py::int_(0));
        return py::none();
    }
    py::object map = read_attr(kernel, TVK_NAME("instr_target_map"));
    py::object tag = read_attr(read_attr(self, TVK_NAME("target")), TVK_NAME("tag"));
    static PyObject* const missing = keep_new(PyLong_FromLong(-1));
    py::object idx = mapping_get(map, tag.ptr(), missing);
    setattr(self, TVK_NAME("cmd_idx"), idx);
    return py::none();
}

py::object jump_check_attr(const Call& c) {
    py::handle self = self_only(c, "_check_attr");
    call_own(self, TVK_NAME("mapping_target"));
    return py::none();
}

// The four defaults, in the member order the category lists them.
void defaults(ClassBuilder& b) {
    b.property("overhead", getter<const_int<0>>())
        .property("wait_time", getter<const_int<0>>())
        .method("_pack_cmd", method<empty_pack_cmd>())
        .method("_check_attr", method<no_check_attr>());
}

}  // namespace

void register_categories(py::module_& m) {
    Registry& r = reg();
    PyObject* base = r.IRBase;
    r.PreIR = define_class(m, kModule, "PreIR", {base}, [](ClassBuilder& b) {
        b.method("__init__", method<category_init<no_fields>>());
        defaults(b);
    });
    r.UnfixIR = define_class(m, kModule, "UnfixIR", {base}, [](ClassBuilder& b) {
        b.method("__init__", method<category_init<unfix_fields>>());
        defaults(b);
        b.method("fetch_ir", method<fetch_ir>());
    });
    r.FixIR = define_class(m, kModule, "FixIR", {base}, [](ClassBuilder& b) {
        b.method("__init__", method<category_init<no_fields>>());
        defaults(b);
    });
    r.LoadDDRIR = define_class(m, kModule, "LoadDDRIR", {base}, [](ClassBuilder& b) {
        b.method("__init__", method<category_init<load_ddr_fields>>())
            .method("_pack_cmd", method<empty_pack_cmd>())
            .method("_check_attr", method<no_check_attr>())
            .property("overhead", getter<const_int<0>>())
            .property("wait_time", getter<const_int<0>>());
    });
    r.OverlapIR = define_class(m, kModule, "OverlapIR", {base}, [](ClassBuilder& b) {
        b.method("__init__", method<category_init<no_fields>>());
        defaults(b);
    });
    r.FakeIR = define_class(m, kModule, "FakeIR", {base}, [](ClassBuilder& b) {
        b.method("__init__", method<category_init<no_fields>>());
        defaults(b);
    });
    py::object flags = make_int_flag("SimIRType", kModule, "SimulationIR.SimIRType",
                                     {{"NORMAL", 0}, {"WAIT", 1}, {"BRANCH", 2}, {"LOOP", 4}, {"JUMP", 8},
                                      {"IGNORE", 128}});
    r.SimIRType = flags.inc_ref().ptr();
    r.SimulationIR = define_class(m, kModule, "SimulationIR", {base}, [&](ClassBuilder& b) {
        b.attr("SimIRType", flags)
            .method("__init__", method<category_init<simulation_fields>>())
            .method("sim_data", method<sim_data>())
            .property("duration", getter<sim_duration>());
        defaults(b);
    });
    r.ReconstitutionIR = define_class(m, kModule, "ReconstitutionIR", {base}, [](ClassBuilder& b) {
        b.method("__init__", method<category_init<no_fields>>());
        defaults(b);
    });
    r.JumpImmIR = define_class(m, kModule, "JumpImmIR", {base}, [](ClassBuilder& b) {
        b.method("__init__", method<category_init<jump_fields>>())
            .method("mapping_target", method<mapping_target>())
            .property("overhead", getter<const_int<0>>())
            .property("wait_time", getter<const_int<0>>())
            .method("_pack_cmd", method<empty_pack_cmd>())
            .method("_check_attr", method<jump_check_attr>());
    });
}

}  // namespace tvk::ir
