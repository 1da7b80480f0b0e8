// Shared declarations of module tarvok.zelvo._optimizations.
#pragma once

#include "common/kit.hpp"
#include "common/instance_test.hpp"
#include "common/walk.hpp"

namespace tvk::optimizations {

inline constexpr const char* kModule = "tarvok.zelvo._optimizations";

// The instruction classes the optimizers test; taken from _ir at init (the
// module holds the classes for the process).
enum Cat { kUnfix, kPlay, kPlayIQ, kWaitTrig, kWait, kDelay, kLoadDDR, kNumCats };
inline constexpr const char* kCatNames[kNumCats] = {"UnfixIR", "IRPlayImm", "IRPlaycImm", "IRWaitTrig",
                                                    "IRWait",  "IRDelay",   "LoadDDRIR"};

struct Registry {
    PyObject* cats[kNumCats];
    PyObject* BaseOptimizer;
};
inline Registry& reg() { return module_registry<Registry>(); }

// isinstance(obj, <class of c>); the entry points run inside an
// InstanceTestScope.
inline bool is(py::handle obj, Cat c) { return is_instance(obj, reg().cats[c]); }

// Item i of `seq` (a new reference), or nullptr past the end: a list read
// directly, anything else through len() and indexing.
py::object item_at(py::handle seq, Py_ssize_t i, Py_ssize_t fixed_len);

void register_base(py::module_& m);
void register_amp(py::module_& m);
void register_ddr(py::module_& m);

}  // namespace tvk::optimizations
