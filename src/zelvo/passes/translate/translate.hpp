// Shared declarations of module tarvok.zelvo._translate.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/kit.hpp"
#include "common/instance_test.hpp"
#include "common/walk.hpp"

namespace tvk::translate {

inline constexpr const char* kModule = "tarvok.zelvo._translate";

// The instruction classes the translators test, in the bit order of Cat.
enum Cat {
    kUnfix, kJumpImm, kFix, kPre, kOverlap, kNop, kDelay, kWait, kPlaceholder, kConditional, kInside,
    kEnvelope, kWaveform, kFreqlist, kDemodule, kArb, kNumCats
};
inline constexpr const char* kCatNames[kNumCats] = {
    "UnfixIR", "JumpImmIR", "FixIR", "PreIR", "OverlapIR", "IRNop", "IRDelay", "IRWait", "IRPlaceholder",
    "IRJumpConditional", "IRJumpInside", "IREnvelope", "IRWaveform", "IRFreqlist", "IRDemodule", "IRArbWaveform",
};
inline constexpr std::uint32_t bit(Cat c) { return std::uint32_t{1} << c; }

// The module's registry (common/module.hpp).
struct Registry {
    PyObject* cats[kNumCats];
    PyObject* np_frombuffer;
    // IRBase's own __len__ / __format__: an instruction whose class keeps them
    // has str() as its text for both.
    PinnedFunction base_len, base_format;
    PyObject* NormalTranslator;
    PinnedFunction get_longest_len;  // NormalTranslator's static method itself
};
inline Registry& reg() { return module_registry<Registry>(); }

// isinstance(obj, <class of c>); the entry points run inside an
// InstanceTestScope.
inline bool is(py::handle obj, Cat c) { return is_instance(obj, reg().cats[c]); }

// ---- flattening ----

// The flat program and the tags that map to a position without being borne
// there (landing placeholders whose tag went to a jump that keeps its own,
// all but the last of a run, and those at the very end).
struct Flat {
    py::list program;
    std::vector<std::pair<py::object, std::size_t>> aliases;  // (tag, position), by position
};
// unfold_ir with the placeholders' tags accounted for; `ir_list` must be a list.
Flat flatten(py::handle ir_list);

// ---- translation ----

// translate_ir(self, ir_list, **kwargs) of both translators, bound: the list
// must be a list and the kernel keyword present and not None.
struct TranslateCall {
    py::handle self, ir_list;
    py::object kernel, kwargs;
};
TranslateCall bind_translate(const Call& c);
// Unpacks a method's (value, rest) result; rest must be a list.
std::pair<py::object, py::object> value_and_rest(py::handle result);

void register_flatten(py::module_& m);
void register_normal(py::module_& m);
void register_ddr(py::module_& m);

}  // namespace tvk::translate
