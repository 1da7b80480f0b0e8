// Conveyor: runs the rules, checkers, optimizers and translator a kernel's
// pass parameters name over a copy of its instruction list. It knows no class
// of the system: any kernel object offering the attributes read below serves.
#include "conveyor.hpp"

#include <pybind11/pybind11.h>

#include "common/brief.hpp"
#include "common/function.hpp"
#include "common/instance_test.hpp"
#include "common/mapping.hpp"
#include "common/walk.hpp"

namespace tvk::conveyor {

namespace {

// One object of each pass class, all made before any of them runs.
py::object make_passes(py::handle classes) {
    py::object passes = steal(PyList_New(0));
    for_each(classes, [&](py::handle cls) { append(passes, steal(PyObject_CallNoArgs(cls.ptr()))); });
    return passes;
}

// pass.<name>(ir_list, **kernel.compile_params, kernel=kernel): the
// parameters read afresh for every call.
py::object call_with_params(py::handle pass, PyObject* name, py::handle ir_list, py::handle kernel) {
    py::object method = getattr(pass, name);
    py::object params = getattr(kernel, TVK_NAME("compile_params"));
    // The usual parameters, a dict of str keys without `kernel`, go onto the
    // call's stack as they are: the same keywords in the same order as the
    // dict below would give, without making it.
    PyObject* p = params.ptr();
    if (PyDict_CheckExact(p) && PyDict_GET_SIZE(p) < 32) {
        PyObject* stack[34];
        stack[0] = ir_list.ptr();
        const Py_ssize_t n = PyDict_GET_SIZE(p);
        py::object kwnames = steal(PyTuple_New(n + 1));
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        bool plain = true;
        while (plain && PyDict_Next(p, &pos, &key, &value)) {
            plain = i < n && PyUnicode_CheckExact(key) && key != TVK_NAME("kernel") &&
                    !(PyUnicode_GET_LENGTH(key) == 6 && PyUnicode_CompareWithASCIIString(key, "kernel") == 0);
            if (!plain) break;
            PyTuple_SET_ITEM(kwnames.ptr(), i, Py_NewRef(key));
            stack[1 + i] = value;
            ++i;
        }
        if (plain && i == n) {
            PyTuple_SET_ITEM(kwnames.ptr(), n, Py_NewRef(TVK_NAME("kernel")));
            stack[1 + n] = kernel.ptr();
            // The values are the dict's: held while the call runs, which
            // may change the dict.
            for (Py_ssize_t k = 1; k <= n; ++k) Py_INCREF(stack[k]);
            PyObject* r = PyObject_Vectorcall(method.ptr(), stack, 1, kwnames.ptr());
            for (Py_ssize_t k = 1; k <= n; ++k) Py_DECREF(stack[k]);
            return steal(r);
        }
    }
    py::object kwargs = kwargs_from_mapping(method, params);
    add_keyword(method, kwargs, TVK_NAME("kernel"), kernel);
    PyObject* args[1] = {ir_list.ptr()};
    return steal(PyObject_VectorcallDict(method.ptr(), args, 1, kwargs.ptr()));
}

py::object pass_params(py::handle kernel) { return getattr(kernel, TVK_NAME("pass_params")); }

py::object pass_classes(py::handle kernel, const char* key) {
    return steal(PyObject_GetItem(pass_params(kernel).ptr(), intern(key)));
}

// A module of this package if it has been loaded, else an empty object:
// the pipeline imports none of the system's modules.
py::object loaded_sibling(const char* name) {
    static const std::string package = [] {
        std::string own(kModule);
        return own.substr(0, own.rfind('.') + 1);
    }();
    PyObject* m = PyImport_GetModule(intern((package + name).c_str()));
    if (!m && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(m);
}

// The line of the nearest instruction before `position` that has one, or 0.
long line_before(py::handle items, Py_ssize_t position) {
    for (Py_ssize_t i = position - 1; i >= 0; --i) {
        py::object line = lookup_attr(PyList_GET_ITEM(items.ptr(), i), TVK_NAME("line"));
        if (!line || !PyLong_Check(line.ptr())) continue;
        long n = PyLong_AsLong(line.ptr());
        if (n == -1 && PyErr_Occurred()) PyErr_Clear();
        if (n > 0) return n;
    }
    return 0;
}

// What a run may take from a kernel the front-end parsed, checked before any
// pass runs: only IR instructions (a statement that gave none would fail far
// inside a pass), and instructions no earlier run has changed (the passes
// change the objects themselves, so a second run over them would schedule
// changed instructions again). A run marks each instruction with the list it
// came in; a new parse makes a new list and new instructions. Other kernel
// objects are run as they come. True for a kernel of the front-end.
bool check_instructions(py::handle kernel, py::handle list) {
    InstanceTestScope scope;  // abc's answers kept across the items and the runs
    py::object kernels = loaded_sibling("kernel");
    py::object ir = loaded_sibling("_ir");
    if (!kernels || !ir) return false;
    if (!is_instance(kernel, getattr(kernels, TVK_NAME("Kernel")))) return false;
    py::object ir_base = getattr(ir, TVK_NAME("IRBase"));
    py::object items = steal(PySequence_List(list.ptr()));
    py::object name = py_str(getattr(kernel, TVK_NAME("name")));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        py::handle item = PyList_GET_ITEM(items.ptr(), i);
        if (is_instance(item, ir_base)) continue;
        long line = line_before(items, i);
        py::object after = line ? steal(PyUnicode_FromFormat(" (after the instruction of line %ld)", line))
                                : py::str("");
        PyErr_Format(PyExc_TypeError,
                     "in kernel %U: position %zd of the instruction list holds %.200s %U%U, not an IR "
                     "instruction: a statement of the kernel gave no instruction",
                     name.ptr(), i, Py_TYPE(item.ptr())->tp_name, brief_repr(item).ptr(), after.ptr());
        throw py::error_already_set();
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        py::object mark = lookup_attr(PyList_GET_ITEM(items.ptr(), i), TVK_NAME("_conveyed_in"));
        if (!mark || mark.ptr() != list.ptr()) continue;
        PyErr_Format(PyExc_RuntimeError,
                     "in kernel %U: an earlier conveyor run has already changed these instructions; call the "
                     "kernel again (which parses it afresh) before running the passes again",
                     name.ptr());
        throw py::error_already_set();
    }
    return true;
}

// An instruction whose class takes no new attribute goes unmarked.
void mark_instructions(py::handle list) {
    for_each(list, [&](py::handle item) {
        if (PyObject_SetAttr(item.ptr(), TVK_NAME("_conveyed_in"), list.ptr()) == 0) return;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw py::error_already_set();
        PyErr_Clear();
    });
}

// What the pipeline reads of a kernel object: anything that has all three
// is run (duck typing); anything else is refused before a pass is made,
// saying what it takes, rather than with the attribute error of the first
// read. A decorated kernel function not yet called is the usual slip.
void check_kernel_object(py::handle kernel) {
    std::string missing;
    for (PyObject* name : {TVK_NAME("instruction_list"), TVK_NAME("compile_params"), TVK_NAME("pass_params")}) {
        if (lookup_attr(kernel, name)) continue;
        missing += missing.empty() ? "" : ", ";
        missing += PyUnicode_AsUTF8(name);
    }
    if (missing.empty()) return;
    constexpr const char* kTakes = "conveyor() takes the kernel object that a @kernel function returns when called";
    PyObject* o = kernel.ptr();
    const bool function = PyFunction_Check(o) || is_made_function(o) ||
                          (PyCallable_Check(o) && lookup_attr(kernel, TVK_NAME("__wrapped__")));
    if (function) {
        py::object name = lookup_attr(kernel, TVK_NAME("__name__"));
        py::object text = name && PyUnicode_Check(name.ptr()) ? name : brief_repr(kernel);
        PyErr_Format(PyExc_TypeError,
                     "%s, not the function %U itself: call it with the kernel's argument values, %U(...), and give "
                     "conveyor() what that returns",
                     kTakes, text.ptr(), text.ptr());
    } else {
        PyErr_Format(PyExc_TypeError, "%s, not %.200s %U (it has no %s)", kTakes, Py_TYPE(o)->tp_name,
                     brief_repr(kernel).ptr(), missing.c_str());
    }
    throw py::error_already_set();
}

py::object conveyor_init(const Call& c) {
    static const Signature sig("__init__", {"self", "kernel"}, 2);
    auto b = bind<2>(sig, c);
    setattr(b[0], TVK_NAME("kernel"), b[1]);
    return py::none();
}

py::object with_kernel(const Call& c) {
    static const Signature sig("with_kernel", {"cls", "kernel"}, 2);
    auto b = bind<2>(sig, c);
    py::object conveyor = steal(PyObject_CallOneArg(b.v[0], b.v[1]));
    return call_method(conveyor, TVK_NAME("run"));
}

py::object run(const Call& c) {
    static const Signature sig("run", {"self"}, 1);
    auto b = bind<1>(sig, c);
    py::object kernel = getattr(b[0], TVK_NAME("kernel"));
    check_kernel_object(kernel);
    py::object instructions = getattr(kernel, TVK_NAME("instruction_list"));
    const bool parsed = check_instructions(kernel, instructions);
    py::object ir_list = shallow_copy(instructions);

    py::object no_rules = steal(PyList_New(0));
    py::object rules = make_passes(mapping_get(pass_params(kernel), TVK_NAME("rules"), no_rules));
    // From here on the passes change the instructions.
    if (parsed) mark_instructions(instructions);
    for_each(rules, [&](py::handle rule) { ir_list = call_with_params(rule, TVK_NAME("order_ins"), ir_list, kernel); });

    py::object errors = steal(PyList_New(0));
    py::object checkers = make_passes(pass_classes(kernel, "checkers"));
    for_each(checkers, [&](py::handle checker) {
        py::object checked, found;
        unpack2(call_method(checker, TVK_NAME("check_ir"), {ir_list}), checked, found);
        ir_list = std::move(checked);
        extend(errors, found);
    });
    // Raises the first record's error, if any: nothing after it runs.
    call_method(kernel, TVK_NAME("with_error"), {errors});

    py::object optimizers = make_passes(pass_classes(kernel, "optimizers"));
    for_each(optimizers,
             [&](py::handle optimizer) { ir_list = call_method(optimizer, TVK_NAME("optimize_ir"), {ir_list}); });

    py::object translator = steal(PyObject_CallNoArgs(pass_classes(kernel, "translate").ptr()));
    return call_with_params(translator, TVK_NAME("translate_ir"), ir_list, kernel);
}

// help() texts (docs/kernel-language.md tells what the passes return).
constexpr MemberDoc kConveyorDocs[] = {
    {"__init__", "(self, kernel)", "A pipeline over the kernel object `kernel`."},
    {"with_kernel", "(cls, kernel)",
     "Run the passes that the pass parameters of `kernel` name over a copy of its instruction list and "
     "return the translator's result: with the default NormalTranslator the 5-tuple (envelope array, "
     "waveform, frequency list, demodulation wave, program text); with PlayDDRTranslator the pair "
     "(waveform names, program text). The first checker error is raised at its kernel line."},
    {"run", "(self)", "Run the passes over the kernel given to the constructor; returns what with_kernel returns."},
};

py::object annotations(std::initializer_list<std::pair<const char*, const char*>> items) {
    py::dict d;
    for (auto& [k, v] : items) d[k] = py::str(v);
    return std::move(d);
}

}  // namespace

void register_conveyor(py::module_& m) {
    m.attr("copy") = py::module_::import("copy");
    py::module_ typing = py::module_::import("typing");
    for (const char* n : {"TYPE_CHECKING", "Tuple", "TypeVar"}) m.attr(n) = typing.attr(n);

    PyObject* base = define_class(m, kModule, "ConveyorBase", {}, [](ClassBuilder& b) {
        b.attr("__doc__", py::str("Base class of the pass pipelines."));
    });

    ClassBuilder b("Conveyor", kModule);
    b.base(base).docs(kConveyorDocs).attr("__doc__", py::str("The pass pipeline of one kernel."));
    function_member(b, "Conveyor", kModule, "__init__", method<conveyor_init>(), annotations({{"kernel", "Kernel"}}));
    py::object with = make_function(method<with_kernel>().fn, b.cell(), "with_kernel", "Conveyor.with_kernel", kModule,
                                    b.doc_for("with_kernel"), annotations({{"kernel", "Kernel"}, {"return", "Tuple[T, str]"}}));
    b.attr("with_kernel", steal(PyClassMethod_New(with.ptr())));
    function_member(b, "Conveyor", kModule, "run", method<run>(), annotations({{"return", "Tuple[T, str]"}}));
    PyObject* cls = publish(m, "Conveyor", b.build());
    m.attr("conveyor") = py::handle(cls).attr("with_kernel");
}

}  // namespace tvk::conveyor
