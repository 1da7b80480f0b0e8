// Shared declarations of module tarvok.zelvo._rules: the IR classes the rules
// test and build, cached once at module init, and the helpers every rule
// file uses.
#pragma once

#include <functional>

#include "common/kit.hpp"
#include "common/count.hpp"
#include "common/function.hpp"
#include "common/init_slot.hpp"
#include "common/instance_test.hpp"
#include "common/mapping.hpp"
#include "common/walk.hpp"

namespace tvk::rules {

inline constexpr const char* kModule = "tarvok.zelvo._rules";

// The IR classes the rules test and build, taken from _ir: the categories,
// then the instructions.
#define TVK_RULES_IR_CLASSES(X)                                                                           \
    X(PreIR) X(UnfixIR) X(FixIR) X(OverlapIR) X(FakeIR) X(ReconstitutionIR) X(LoadDDRIR)                 \
    X(IREnvelope) X(IRWait) X(IRWaitTrig) X(IRJumpConditional) X(IRNop) X(IRDelay) X(IRWaitDDR)          \
    X(IRJumpImmNormal)

// The module's registry (common/module.hpp).
struct Registry {
    TVK_RULES_IR_CLASSES(TVK_REGISTRY_FIELD)
    PyObject *np_frombuffer, *np_ndarray, *np_asarray, *np_zeros, *np_concatenate;
    PyObject* update_wrapper;
    PyObject* BaseRule;
    PinnedFunction own_padding[6];  // TimingRule's append_* wrappers, in the order of padding.cpp's kMethods
};
inline Registry& reg() { return module_registry<Registry>(); }

// isinstance(obj, cls), an abc's own test included, remembered per type
// while a bound function runs (see entry below).
inline bool is_a(py::handle obj, PyObject* cls) { return is_instance(obj.ptr(), cls); }

// Every function the module binds: its body runs with instance tests
// remembered (see common/instance_test.hpp).
template <MethodFn F>
constexpr MethodDef entry() {
    return method<with_instance_cache<F>>();
}

// A new instance of an IR class made with no argument.
inline py::object make0(PyObject* cls) { return new_instance(cls); }

// The cycles an instruction costs as the successor of another: an overlap
// instruction its wait time, a placeholder its irhead, any other its
// overhead.
Count successor_cost(py::handle ir);

// kwargs.get(key, fallback) on the keyword dict of a bound call.
inline py::object kwarg(py::handle kwargs, PyObject* key, py::handle fallback) {
    return mapping_get(kwargs, key, fallback);
}

// The trigger wait alignment of a rule call: its trig_align_time keyword, 12
// cycles when absent.
py::object trig_align_time(py::handle kwargs);

// Binds order_ins(self, ir_list, **kwargs), the signature of every rule.
Bound<2> bind_order_ins(const Call& c);

// A rule class: base BaseRule (or none for BaseRule itself), an __init__
// that runs the rest of the constructor chain, and the members `fill` adds.
PyObject* define_rule(py::module_& m, const char* name, const std::function<void(ClassBuilder&)>& fill);
// A rule class whose only member besides __init__ is order_ins (annotated
// `ir_list: list` when it checks its argument, and `-> list`).
void simple_rule(py::module_& m, const char* name, MethodDef order_ins, bool checks_list = false);
// A member of rule class `cls` that is a function object like a Python
// method (qualified name, annotations), not a builtin.
void member(ClassBuilder& b, const char* cls, const char* name, MethodDef def, py::handle annotations = {});
// A module function made the same way, named and annotated like a Python one.
void module_function(py::module_& m, const char* name, MethodDef def, py::handle annotations = {});
// {"ir_list": list, "return": list} and friends, for __annotations__.
py::object list_annotations(std::initializer_list<const char*> list_args, bool returns_list);

// `self.order_ins(block, <flag>=<value>, **kwargs)`: the nested call of a
// rule for the block of an instruction of unfixed duration, made through the
// object so that overrides are honoured. A flag already among the keywords
// gets the binder's "multiple values" TypeError, as the call itself would.
class NestedCall {
public:
    NestedCall(py::handle self, py::handle kwargs, PyObject* flag);
    py::object operator()(py::handle block, bool flag_value);

private:
    py::handle self_;
    py::object kwnames_;
    std::vector<PyObject*> stack_;  // self, block, flag, keyword values (borrowed from kwargs)
    py::object kwargs_;
    PyObject* flag_;
};

// Registration, one function per file, called by module.cpp in class order.
void register_base(py::module_& m);            // BaseRule
void register_ordering(py::module_& m);        // SelectJumpTypeRule ... WtgAlign
void register_branch(py::module_& m);          // BranchRule
void register_play_ddr(py::module_& m);        // PlayDDRRule
void register_timing_functions(py::module_& m);  // acq_olp_index ... set_kernel
void register_timing(py::module_& m);          // TimingRule
void register_set_kernel(py::module_& m);      // set_kernel (with the padding)
void padding_members(ClassBuilder& b);         // TimingRule.insert_ir and the append_* methods
void register_closing(py::module_& m);         // AddJumpRule, ReTagRule, JumpRule, LoopRule

}  // namespace tvk::rules
