// The kernel object: construction from a function or a source text, its
// tables and parameters, the parse, and the entry points that make and parse
// kernels. Every internal step goes through the object, so subclasses and
// scope kernels take part.
#include <pybind11/cast.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "core.hpp"
#include "kernel.hpp"

#include "common/brief.hpp"
#include "common/function.hpp"

namespace tvk::kernel {

namespace {

void set(py::handle self, PyObject* name, py::handle value) { setattr(self, name, value); }

py::object zero() { return steal(PyLong_FromLong(0)); }

// The default pass classes, looked up by name when a kernel is made.
py::object pass_list(std::initializer_list<PyObject*> names) {
    py::object l = steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* n : names) PyList_SET_ITEM(l.ptr(), i++, global(n).release().ptr());
    return l;
}

py::object default_pass_params() {
    py::dict d;
    set_item(d, TVK_NAME("rules"),
        pass_list({TVK_NAME("SelectJumpTypeRule"), TVK_NAME("EnvelopeRule"), TVK_NAME("PreConfigRule"),
                   TVK_NAME("WitiRule"), TVK_NAME("WtgAlign"), TVK_NAME("BranchRule"), TVK_NAME("PlayDDRRule"),
                   TVK_NAME("TimingRule"), TVK_NAME("AddJumpRule")}));
    set_item(d, TVK_NAME("checkers"),
        pass_list({TVK_NAME("OverlapChecker"), TVK_NAME("EnvelopeChecker"), TVK_NAME("FmsiChecker"),
                   TVK_NAME("PlyChecker"), TVK_NAME("DrstChecker"), TVK_NAME("IRNumberChecker"),
                   TVK_NAME("TwoCapiChecker"), TVK_NAME("EmptyWtgChecker"), TVK_NAME("WaveformChecker"),
                   TVK_NAME("ProtChecker")}));
    set_item(d, TVK_NAME("optimizers"),
        pass_list({TVK_NAME("JumpImmOptimizer"), TVK_NAME("PlyiAmpOptimizer"), TVK_NAME("PlayDDROptimizer")}));
    set_item(d, TVK_NAME("translate"), global(TVK_NAME("NormalTranslator")));
    return std::move(d);
}

// The source of the kernel function `func`. The OSError of a function whose
// source no file holds (typed at the interpreter prompt, made by exec) says
// so and what to do instead; it stays an OSError, the original its cause.
py::object kernel_source(py::handle func) {
    try {
        return function_source(func);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        e.restore();
    }
    py::object original = take_exception();
    py::object name = lookup_attr(func, TVK_NAME("__name__"));
    py::object shown = name && PyUnicode_Check(name.ptr()) ? name : brief_repr(func);
    py::object message = steal(PyUnicode_FromFormat(
        "could not read the source of kernel function %U: a function typed at the interpreter prompt or made by "
        "exec() has no source file to read it from; build the kernel from its source text with "
        "form_kernel(source, args, kwargs) instead",
        shown.ptr()));
    py::object error = steal(PyObject_CallOneArg(PyExc_OSError, message.ptr()));
    PyException_SetCause(error.ptr(), original.inc_ref().ptr());
    PyException_SetContext(error.ptr(), original.inc_ref().ptr());
    PyErr_SetObject(PyExc_OSError, error.ptr());
    throw py::error_already_set();
}

}  // namespace

PyObject* kernel_attr_name(int i) {
    static PyObject* const* const names = [] {
        static PyObject* n[kKernelAttrCount];
        for (int k = 0; k < kKernelAttrCount; ++k) n[k] = intern(kKernelAttrs[k].name);
        return n;
    }();
    return names[i];
}

py::object new_attr_value(py::handle self, Start start) {
    switch (start) {
        case Start::Dict: return py::dict();
        case Start::Zero: return zero();
        case Start::List: return py::list();
        case Start::CompileParams: return getattr(self, TVK_NAME("default_compile_params"));
        case Start::PassParams: return default_pass_params();
        default: throw std::logic_error("new_attr_value: an attribute given to __init__");
    }
}

py::object kernel_member(PyObject* name, py::handle self, std::initializer_list<py::handle> args) {
    py::object f = getattr(reg().Kernel, name);
    PyObject* argv[8];
    if (args.size() > 7) throw std::invalid_argument("kernel_member: too many arguments");
    size_t n = 0;
    argv[n++] = self.ptr();
    for (py::handle a : args) argv[n++] = a.ptr();
    return steal(PyObject_Vectorcall(f.ptr(), argv, n, nullptr));
}

// Kernel(func=None, args=None, kwargs=None, src=None)
py::object kernel_init(const Call& c) {
    static const Signature sig("__init__", {"self", "func", "args", "kwargs", "src"}, 1, Signature::None,
                               {py::none(), py::none(), py::none(), py::none()});
    auto b = bind<5>(sig, c);
    py::handle self = b[0], func = b[1], args = b[2], kwargs = b[3], src = b[4];
    py::object name, source, tree;
    if (!func.is_none()) {
        py::object text = src.is_none() ? kernel_source(func) : py::reinterpret_borrow<py::object>(src);
        source = call_method(self, TVK_NAME("_remove_tabs"), {text});
        tree = parse_source(source);
        name = getattr(func, TVK_NAME("__name__"));
    } else if (!src.is_none()) {
        source = call_method(self, TVK_NAME("_remove_tabs"), {src});
        tree = parse_source(source);
        name = py::str("program");
    } else {
        py::object constant = getattr(global(TVK_NAME("ast")), TVK_NAME("Constant"));
        tree = steal(PyObject_CallOneArg(constant.ptr(), Py_None));
        source = py::none();
        name = py::str("");
    }
    // In the order of Start's first six.
    const py::handle given[] = {name, self, args, kwargs, source, tree};
    for (int i = 0; i < kKernelAttrCount; ++i) {
        const Start start = kKernelAttrs[i].start;
        if (start <= Start::Tree)
            set(self, kernel_attr_name(i), given[static_cast<int>(start)]);
        else
            set(self, kernel_attr_name(i), new_attr_value(self, start));
    }
    return py::none();
}

// Simulator and simulator of a kernel without the simulation mixin.
py::object no_simulator(py::handle) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw py::error_already_set();
}

// Every kernel gets a new dict, cloned from one made once: its values are
// immutable, so sharing them shows nowhere.
py::object default_compile_params(py::handle) {
    static PyObject* const model = [] {
        py::dict d;
        d["trig_align_time"] = 0;
        d["ddr_play_bwidth"] = 2;
        d["envelope_type"] = py::none();
        d["da_srate"] = 8e9;
        d["ad_srate"] = 8e9;
        d["base_clock"] = 4e-9;
        d["target_chnl_type"] = "da";
        d["intra_enable"] = false;
        return keep_new(d.release().ptr());
    }();
    return steal(PyDict_Copy(model));
}

// New tables, counters, list and compile parameters; the old objects keep
// their contents for whoever still holds them.
py::object clear(const Call& c) {
    static const Signature sig("clear", {"self"}, 1);
    py::handle self = bind<1>(sig, c)[0];
    static const std::vector<int> order = [] {
        std::vector<int> o;
        for (int i = 0; i < kKernelAttrCount; ++i)
            if (kKernelAttrs[i].cleared) o.push_back(i);
        auto rank = [](int i) { return kKernelAttrs[i].cleared; };
        std::sort(o.begin(), o.end(), [&](int a, int b) { return rank(a) < rank(b); });
        return o;
    }();
    for (int i : order) set(self, kernel_attr_name(i), new_attr_value(self, kKernelAttrs[i].start));
    return py::none();
}

py::object parse(const Call& c) {
    static const Signature sig("parse", {"self"}, 1);
    py::handle self = bind<1>(sig, c)[0];
    call_method(self, TVK_NAME("clear"));
    py::object source = getattr(self, TVK_NAME("top_src"));
    set(self, TVK_NAME("top_node"), parse_source(source));
    try {
        visit(self, getattr(self, TVK_NAME("top_node")));
    } catch (...) {
        forget_evaluations();
        throw;
    }
    forget_evaluations();
    return getattr(self, TVK_NAME("instruction_list"));
}

py::object show(const Call& c) {
    static const Signature sig("show", {"self"}, 1);
    bind<1>(sig, c);
    return py::none();
}

// k(*args, **kwargs): parse again with new argument values.
py::object call(const Call& c) {
    static const Signature sig("__call__", {"self"}, 1, Signature::VarPos | Signature::VarKw);
    auto b = bind<1>(sig, c);
    set(b[0], TVK_NAME("func_args"), b.varargs);
    set(b[0], TVK_NAME("func_kwargs"), b.kwargs);
    call_method(b[0], TVK_NAME("parse"));
    return getattr(b[0], TVK_NAME("instruction_list"));
}

py::object repr(const Call& c) {
    static const Signature sig("__repr__", {"self"}, 1);
    py::handle self = bind<1>(sig, c)[0];
    py::object cls_name = formatted(getattr(getattr(self, TVK_NAME("__class__")), TVK_NAME("__name__")));
    py::object name = formatted(getattr(self, TVK_NAME("name")));
    return steal(PyUnicode_FromFormat("<%U:%U>", cls_name.ptr(), name.ptr()));
}

py::object remove_tabs(const Call& c) {
    static const Signature sig("_remove_tabs", {"source"}, 1);
    auto b = bind<1>(sig, c);
    check_str(b[0], "source");
    return str_of(core::remove_tabs(text_of(b[0])));
}

py::object create_scope(const Call& c) {
    static const Signature sig("create_scope", {"self"}, 1);
    py::handle self = bind<1>(sig, c)[0];
    return call_method(global(TVK_NAME("ScopeKernel")), TVK_NAME("from_kernel"), {self});
}

namespace {

// One call of a decorated kernel function, `state` being (cls, func): makes
// cls(func, args, kwargs) from the call's values, parses it and returns it.
// A wrapper cleared by the collector has no state left.
PyObject* call_wrapper(PyObject* state, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    if (!state || !PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2) {
        PyErr_SetString(PyExc_TypeError, "wrapper was cleared");
        return nullptr;
    }
    try {
        static const Signature sig("wrapper", {}, 0, Signature::VarPos | Signature::VarKw);
        Call call{args, PyVectorcall_NARGS(nargsf), kwnames, nullptr};
        auto b = bind<0>(sig, call);
        PyObject* argv[] = {PyTuple_GET_ITEM(state, 1), b.varargs.ptr(), b.kwargs.ptr()};
        py::object k = steal(PyObject_Vectorcall(PyTuple_GET_ITEM(state, 0), argv, 3, nullptr));
        call_method(k, TVK_NAME("parse"));
        return k.release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace

// wrap(cls, func): the decorator; its wrapper is a function carrying func's
// name, module and documentation.
py::object wrap(const Call& c) {
    static const Signature sig("wrap", {"cls", "func"}, 2);
    auto b = bind<2>(sig, c);
    py::object state = py::make_tuple(b[0], b[1]);
    py::object wrapper = make_function(&call_wrapper, state, "wrapper", "Kernel.wrap.<locals>.wrapper", kModule);
    py::object decorate = steal(PyObject_CallOneArg(reg().wraps, b.v[1]));
    return steal(PyObject_CallOneArg(decorate.ptr(), wrapper.ptr()));
}

// form_kernel(cls, func_str, args=None, kwargs=None)
py::object form_kernel(const Call& c) {
    static const Signature sig("form_kernel", {"cls", "func_str", "args", "kwargs"}, 2, Signature::None,
                               {py::none(), py::none()});
    auto b = bind<4>(sig, c);
    static PyObject* const kw = keep_new(Py_BuildValue("(OOO)", TVK_NAME("args"), TVK_NAME("kwargs"), TVK_NAME("src")));
    PyObject* argv[] = {b.v[2], b.v[3], b.v[1]};
    py::object k = steal(PyObject_Vectorcall(b.v[0], argv, 0, kw));
    call_method(k, TVK_NAME("parse"));
    return k;
}

}  // namespace tvk::kernel
