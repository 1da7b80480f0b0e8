// The hook registry: one KernelFunction entry per library function that takes
// part in the lowering of its call (pre_call), of an `if` on it (if_call) or
// of a register `for` over it (for_call). Entries live in the class attribute
// `_registry`, keyed by the function's name.
#include <pybind11/pybind11.h>

#include "functions.hpp"

namespace tvk::functions {

namespace {

constexpr const char* kModule = "tarvok.zelvo._functions";

py::object registry_of(py::handle cls) { return getattr(cls, TVK_NAME("_registry")); }

// cls(func, pre_call, if_call, for_call), filed in cls._registry under its name.
void file_entry(py::handle cls, py::handle func, py::handle pre_call, py::handle if_call, py::handle for_call) {
    PyObject* argv[] = {func.ptr(), pre_call.ptr(), if_call.ptr(), for_call.ptr()};
    py::object entry = steal(PyObject_Vectorcall(cls.ptr(), argv, 4, nullptr));
    if (PyObject_SetItem(registry_of(cls).ptr(), getattr(entry, TVK_NAME("name")).ptr(), entry.ptr()) < 0)
        throw py::error_already_set();
}

// KernelFunction(func, pre_call=None, if_call=None, for_call=None): a hook
// given replaces the class default (no-op pre_call, no if_call / for_call).
py::object entry_init(const Call& c) {
    static const Signature sig("__init__", {"self", "func", "pre_call", "if_call", "for_call"}, 2,
                               Signature::None, {py::none(), py::none(), py::none()});
    auto b = bind<5>(sig, c);
    py::handle self = b[0];
    setattr(self, TVK_NAME("func"), b[1]);
    setattr(self, TVK_NAME("name"), getattr(b[1], TVK_NAME("__name__")));
    if (!b[2].is_none()) setattr(self, TVK_NAME("pre_call"), b[2]);
    if (!b[3].is_none()) setattr(self, TVK_NAME("if_call"), b[3]);
    if (!b[4].is_none()) setattr(self, TVK_NAME("for_call"), b[4]);
    return py::none();
}

// Default pre_call(kernel, call): leaves the call as written.
py::object entry_pre_call(const Call& c) {
    static const Signature sig("pre_call", {"self", "kernel", "call"}, 3);
    bind<3>(sig, c);
    return py::none();
}

py::object entry_repr(const Call& c) {
    static const Signature sig("__repr__", {"self"}, 1);
    auto b = bind<1>(sig, c);
    py::object name = py_str(getattr(b[0], TVK_NAME("name")));
    return steal(PyUnicode_FromFormat("<KernelFunction %U>", name.ptr()));
}

py::object has_func(const Call& c) {
    static const Signature sig("has_func", {"cls", "name"}, 2);
    auto b = bind<2>(sig, c);
    int r = PySequence_Contains(registry_of(b[0]).ptr(), b.v[1]);
    if (r < 0) throw py::error_already_set();
    return py::bool_(r != 0);
}

py::object get_func(const Call& c) {
    static const Signature sig("get_func", {"cls", "name"}, 2);
    auto b = bind<2>(sig, c);
    return steal(PyObject_GetItem(registry_of(b[0]).ptr(), b.v[1]));
}

// wrap(func=None, pre_call=None, if_call=None, for_call=None): registers
// `func` with its hooks and returns it unchanged; without `func`, the
// decorator that does so.
py::object wrap(const Call& c) {
    static const Signature sig("wrap", {"cls", "func", "pre_call", "if_call", "for_call"}, 1, Signature::None,
                               {py::none(), py::none(), py::none(), py::none()});
    auto b = bind<5>(sig, c);
    py::handle cls = b[0];
    if (b[1].is_none()) {
        py::dict kw;
        kw["pre_call"] = b[2];
        kw["if_call"] = b[3];
        kw["for_call"] = b[4];
        py::object bound_wrap = getattr(cls, TVK_NAME("wrap"));
        py::tuple args = py::make_tuple(bound_wrap);
        return steal(PyObject_Call(reg().partial, args.ptr(), kw.ptr()));
    }
    file_entry(cls, b[1], b[2], b[3], b[4]);
    return py::reinterpret_borrow<py::object>(b[1]);
}

}  // namespace

void export_name(py::module_& m, py::list& all, const char* name, py::handle value) {
    m.attr(name) = value;
    all.append(py::str(name));
}

void register_entry(py::handle func, py::handle pre_call, py::handle if_call, py::handle for_call) {
    file_entry(reg().KernelFunction, func, pre_call, if_call, for_call);
}

namespace {
constexpr MemberDoc kKernelFunctionDocs[] = {
    {"__init__", "(self, func, pre_call=None, if_call=None, for_call=None)",
     "The registry entry of the kernel function `func` with the hooks given."},
    {"__repr__", "(self)", "<KernelFunction name>."},
    {"pre_call", "(self, kernel, call)", "Called before a call of the function is evaluated; does nothing by default."},
    {"has_func", "(cls, name)", "Whether hooks are registered for the kernel function called `name`."},
    {"get_func", "(cls, name)", "The registry entry of the kernel function called `name`."},
    {"wrap", "(cls, func=None, pre_call=None, if_call=None, for_call=None)",
     "Register `func` with its hooks and return it; without `func`, the decorator that does so."},
};
}  // namespace

void register_registry(py::module_& m, py::list& all) {
    reg().partial = keep(py::module_::import("functools"), "partial");
    ClassBuilder b("KernelFunction", kModule);
    b.docs(kKernelFunctionDocs)
        .attr("__doc__", py::str("Registry entry of a kernel function and its lowering hooks."))
        .attr("_registry", py::dict())
        .attr("if_call", py::none())
        .attr("for_call", py::none())
        .method("__init__", method<entry_init>())
        .method("pre_call", method<entry_pre_call>())
        .method("__repr__", method<entry_repr>())
        .classmethod("has_func", method<has_func>())
        .classmethod("get_func", method<get_func>())
        .classmethod("wrap", method<wrap>());
    py::object cls = b.build();
    reg().KernelFunction = cls.ptr();
    export_name(m, all, "KernelFunction", cls);
}

void register_markers(py::module_& m, py::list& all) {
    // Declarations are filed by the marker's __name__ alone.
    static const std::pair<const char*, const char*> markers[] = {
        {"Frame", "a carrier frame: f: zv.Frame = zv.frame(freq, phase, idx)."},
        {"Envelope", "an envelope: e: zv.Envelope = zv.envelope(samples)."},
        {"Waveform", "the probe waveform: w: zv.Waveform = zv.waveform(wave)."},
        {"Freqlist", "the frequency list: fl: zv.Freqlist = zv.freq_list(freqs)."},
        {"Demodulation", "the demodulation wave: d: zv.Demodulation = zv.demodulation(wave)."},
        {"ArbWave", "a DDR waveform: w: zv.ArbWave = zv.arb_waveform(name, samples)."},
        {"Var", "a compile-time variable: v: zv.Var = value."},
        {"Int", "a fixed register number: n: zv.Int = 3 names register 3 without loading it."},
        {"Reg", "a register, numbered in declaration order from 0 and loaded with its value: r: zv.Reg = 0."},
    };
    for (const auto& [name, text] : markers) {
        ClassBuilder b(name, kModule);
        b.attr("__doc__", py::str(std::string("Type marker of ") + name + " declarations, " + text));
        export_name(m, all, name, b.build());
    }
}

}  // namespace tvk::functions
