// Shared declarations of module tarvok.zelvo._functions, the kernel function
// library: the functions a kernel calls through `zv.`, their hook registry and
// the type markers of declarations.
#pragma once

#include "common/common.hpp"

namespace tvk::fn {

// Objects made at module init, kept for the life of the process (the module
// holds a reference to each), so nothing here is destroyed at exit.
struct Registry {
    PyObject* KernelFunction = nullptr;
    PyObject* partial = nullptr;  // functools.partial
    // Instruction classes of _ir the library builds.
    PyObject* IRFrame = nullptr;
    PyObject* IRFrameAdd = nullptr;
    PyObject* IRFrameRst = nullptr;
    PyObject* IREnvelope = nullptr;
    PyObject* IRArbWaveform = nullptr;
    PyObject* IRWaveform = nullptr;
    PyObject* IRDemodule = nullptr;
    PyObject* IRFreqlist = nullptr;
    PyObject* IRWaitTrig = nullptr;
    PyObject* IRPlayImm = nullptr;
    PyObject* IRWait = nullptr;
    PyObject* IRDelay = nullptr;
    PyObject* IRCapture = nullptr;
    PyObject* IRNlw = nullptr;
    PyObject* IRLoadDDRImm = nullptr;
    PyObject* IRPlayDDRImm = nullptr;
    PyObject* IRLoadEvent = nullptr;
    PyObject* IRClearEvent = nullptr;
    PyObject* IRJumpEvent = nullptr;
    PyObject* IRJumpConditional = nullptr;
    PyObject* IRPlaceholder = nullptr;
    PyObject* IRLoop = nullptr;
};
Registry& reg();

// Adds `name` to the module and to the export list.
void export_name(py::module_& m, py::list& all, const char* name, py::handle value);

// Registration, called by module.cpp in export order.
void register_registry(py::module_& m, py::list& all);
void register_markers(py::module_& m, py::list& all);
void register_library(py::module_& m, py::list& all);
void register_loops(py::module_& m, py::list& all);

// Adds an entry with the given hooks (None for none) to the registry.
void register_entry(py::handle func, py::handle pre_call, py::handle if_call, py::handle for_call);

}  // namespace tvk::fn
