// Shared declarations of module tarvok.zelvo._functions, the kernel function
// library: the functions a kernel calls through `zv.`, their hook registry and
// the type markers of declarations.
#pragma once

#include "common/kit.hpp"

namespace tvk::functions {

// The instruction classes of _ir the library builds.
#define TVK_FUNCTIONS_IR_CLASSES(X)                                                                    \
    X(IRFrame) X(IRFrameAdd) X(IRFrameRst) X(IREnvelope) X(IRArbWaveform) X(IRWaveform) X(IRDemodule)    \
    X(IRFreqlist) X(IRWaitTrig) X(IRPlayImm) X(IRPlaycImm) X(IRWait) X(IRDelay) X(IRCapture) X(IRNlw)    \
    X(IRLoadDDRImm) X(IRPlayDDRImm) X(IRLoadEvent) X(IRClearEvent) X(IRJumpEvent) X(IRJumpConditional)   \
    X(IRPlaceholder) X(IRLoop)

// The module's registry (common/module.hpp).
struct Registry {
    PyObject* KernelFunction;
    PyObject* partial;     // functools.partial
    PyObject* ndarray;     // numpy.ndarray
    PyObject* np_complex;  // numpy.complexfloating
    PyObject* np_bool;     // numpy.bool_
    PinnedFunction visit;  // ast.NodeVisitor.visit, as found at load
    TVK_FUNCTIONS_IR_CLASSES(TVK_REGISTRY_FIELD)
};
inline Registry& reg() { return module_registry<Registry>(); }

// Argument checks (checks.cpp): each refusal is a TypeError or ValueError
// naming the function `fn` and the argument `arg`. A value of None takes
// `fallback` where the argument has a default (an empty handle: none).
// A real, finite number (not negative when `non_negative`); returns the value
// to pass on.
py::object real_arg(const char* fn, const char* arg, py::handle v, py::handle fallback = {},
                    bool non_negative = false);
// Every item of `values` a real, finite number.
void reals_arg(const char* fn, const char* arg, py::handle values);
// A frame index: an integer from 0 to 31; returns the value to pass on.
py::object frame_index_arg(const char* fn, const char* arg, py::handle v, py::handle fallback = {});
// Every item of `frames` a frame index.
void frame_indices_arg(const char* fn, const char* arg, py::handle frames);
// Every item of `values` a frequency number: an integer from 0 to 7, not a
// bool (the capture's mask would take True for number 1).
void freq_numbers_arg(const char* fn, const char* arg, py::handle values);
// Envelope samples: a one-dimensional numpy array of real numbers (integers
// or floats), all finite.
void samples_arg(const char* fn, const char* arg, py::handle v);

// Adds `name` to the module and to the export list.
void export_name(py::module_& m, py::list& all, const char* name, py::handle value);

// Registration, called by module.cpp in export order.
void register_registry(py::module_& m, py::list& all);
void register_markers(py::module_& m, py::list& all);
void register_library(py::module_& m, py::list& all);
void register_loops(py::module_& m, py::list& all);

// Adds an entry with the given hooks (None for none) to the registry.
void register_entry(py::handle func, py::handle pre_call, py::handle if_call, py::handle for_call);

}  // namespace tvk::functions
