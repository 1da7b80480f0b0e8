// help() texts of the kernel classes (docs/kernel-language.md is the guide).
#pragma once

#include "common/helptext.hpp"

namespace tvk::kernel {

inline constexpr MemberDoc kKernelDocs[] = {
    {"__init__", "(self, func=None, args=None, kwargs=None, src=None)",
     "A kernel for the function `func` (its source fetched unless `src` is given) or for the source "
     "text `src` alone; `args` and `kwargs` are the kernel function's argument values. Not parsed yet."},
    {"Simulator", nullptr, "The timing simulator class; a plain Kernel has none (NotImplementedError)."},
    {"simulator", nullptr, "The timing simulator of this kernel; a plain Kernel has none (NotImplementedError)."},
    {"default_compile_params", nullptr,
     "A new dictionary of the default compile parameters: trig_align_time 0 (base-clock cycles), "
     "ddr_play_bwidth 2, envelope_type None, da_srate 8e9 and ad_srate 8e9 (samples per second), "
     "base_clock 4e-9 (seconds), target_chnl_type 'da', intra_enable False."},
    {"clear", "(self)",
     "Give the kernel new empty symbol tables and instruction list and the default compile parameters."},
    {"parse", "(self)",
     "Parse the kernel's source again from empty tables and return the new instruction list. Compile "
     "parameters set before are back at their defaults afterwards."},
    {"show", "(self)", "Does nothing; returns None."},
    {"__call__", "(self, *args, **kwargs)",
     "Parse again with new argument values for the kernel function; returns the instruction list."},
    {"__repr__", "(self)", "<ClassName:kernel name>."},
    {"visit_Subscript", "(self, node)", "The value of a subscript over the compile-time variables."},
    {"visit_arg", "(self, node)", "Does nothing: parameters are bound by visit_arguments."},
    {"visit_Assign", "(self, node)",
     "Lower a re-assignment: x = zv.capture(...), x = zv.receive(...) or x = zv.ins_envelope(...)."},
    {"visit_AugAssign", "(self, node)", "Refuse x op= value as the re-assignment x = x op value."},
    {"visit_AnnAssign", "(self, node)",
     "Lower a declaration name: Type = value into the symbol table its type names."},
    {"visit_Call", "(self, node)",
     "Evaluate a call (zv./zelvo. library, np./numpy. or a plain name) and return its value."},
    {"visit_BinOp", "(self, node)", "The value of an arithmetic expression over the compile-time variables."},
    {"visit_Constant", "(self, node)", "The constant's value."},
    {"visit_Expr", "(self, node)",
     "Lower an expression statement: append its value (the members of a tuple one by one)."},
    {"visit_Compare", "(self, node)",
     "Lower a comparison: register == constant appends the conditional jump; others are refused."},
    {"visit_If", "(self, node)",
     "Lower an if: at run time on register == constant, at compile time on v[k] == constant, or "
     "through the library's hook for if zv.f(...)."},
    {"visit_For", "(self, node)",
     "Lower a for loop: unrolled over a compile-time variable, or a register loop over zv.repeat(n)."},
    {"visit_While", "(self, node)", "Lower while True: the body once, then the body again as an endless loop."},
    {"visit_Return", "(self, node)", "Does nothing: a kernel returns no value."},
    {"visit_FunctionDef", "(self, node)",
     "Lower the kernel function: take its name, bind its parameters and lower its body in order."},
    {"visit_arguments", "(self, node)",
     "Bind each annotated parameter to its positional value, keyword value or default."},
    {"visit_Module", "(self, node)", "Lower the module's first statement, the kernel function."},
    {"with_error", "(self, error)",
     "Raise the first checker error record of the list `error` with its error class, at the kernel "
     "line of its instruction; an empty list does nothing."},
    {"node_line", "(self, error_ir)",
     "The body statement on the line of the instruction `error_ir`, else the function definition."},
    {"wrap", "(cls, func)",
     "Decorator: calling the result with the kernel's argument values builds a kernel of this class "
     "from `func`, parses it and returns it."},
    {"form_kernel", "(cls, func_str, args=None, kwargs=None)",
     "Build a kernel of this class from the source text `func_str` and the argument values `args` and "
     "`kwargs`, parse it and return it."},
    {"create_scope", "(self)",
     "A ScopeKernel sharing this kernel's symbols and parameters, with an instruction list of its own."},
};

inline constexpr MemberDoc kSimulateMixinDocs[] = {
    {"__init__", "(self, *args, **kwargs)", "Give the kernel the timing simulator class WaveTimingSimulator."},
    {"Simulator", nullptr, "The timing simulator class; setting it drops the cached simulator."},
    {"simulator", nullptr,
     "The timing simulator of this kernel, cached for the last kernel that asked for one."},
};

inline constexpr MemberDoc kZelvoKernelDocs[] = {
    {"__init__", "(cls, name, bases, attrs)", "Make the class as type does; adds nothing."},
};

inline constexpr MemberDoc kSimulationKernelDocs[] = {
    {"__init__", "(self, func=None, args=None, kwargs=None)",
     "A kernel for the function `func` with the argument values `args` and `kwargs`; not parsed yet."},
    {"clear", "(self)", "Clear the kernel as Kernel.clear does, then reset its timing simulator."},
    {"parse", "(self)", "Parse as Kernel.parse does, then run the simulator's analysis; returns the list."},
};

inline constexpr MemberDoc kScopeKernelDocs[] = {
    {"__init__", "(self, _kernel)", "An empty kernel whose parent is `_kernel`."},
    {"from_kernel", "(cls, _kernel)",
     "A scope of `_kernel`: its symbol tables and parameters shared, an instruction list of its own."},
};

}  // namespace tvk::kernel
