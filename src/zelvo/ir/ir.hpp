// Shared declarations of module tarvok.zelvo._ir: the class registry filled at
// module init and the helpers every instruction file uses.
#pragma once

#include "common/kit.hpp"
#include "common/fields.hpp"

namespace tvk::ir {

inline constexpr const char* kModule = "tarvok.zelvo._ir";

// The module's registry (common/module.hpp).
struct Registry {
    PyObject *module_dict, *numpy, *np_zeros;
    PyObject *AssemblyError, *GenTagMixin, *IRBase;
    PinnedFunction tag_property;  // GenTagMixin.generate_tag, the property itself
    PyObject* base_init;     // IRBase.__init__ as made
    // The categories, in the order register_categories makes them.
    PyObject *PreIR, *UnfixIR, *FixIR, *LoadDDRIR, *OverlapIR, *FakeIR, *SimulationIR, *ReconstitutionIR, *JumpImmIR;
    PyObject* SimIRType;
};
inline Registry& reg() { return module_registry<Registry>(); }

// Member of SimIRType by name, e.g. sim_type(TVK_NAME("WAIT")).
py::object sim_type(PyObject* member);

// self.kernel.compile_params.get(key, fallback), read afresh at every call;
// a kernel of None fails with the interpreter's AttributeError.
py::object compile_param(py::handle self, PyObject* key, py::handle fallback);

// "in kernel NAME, line N: " for an instruction whose kernel has a name and
// whose line is set (the front-end gives it the statement's, the timing rule
// a padding that of the instruction it pads), "in kernel NAME: " without a
// line, nothing without a kernel: where a value refused at text time came from.
std::string whose(py::handle self);

// Raises AssemblyError(message).
[[noreturn]] void raise_assembly_error(const std::string& message);
// Raises AssemblyError(<class name of self>, message).
[[noreturn]] void raise_assembly_error(py::handle self, const char* message);

// Constant integer property getters (overhead / wait_time of fixed-cost
// instructions).
template <long V>
py::object const_int(py::handle) {
    return py::reinterpret_steal<py::object>(PyLong_FromLong(V));
}


// What IRBase.__init__ does: the five common fields, `kernel` taken from the
// keywords (a dict or nothing).
void base_fields(PyObject* self, PyObject* kwargs);

// The category defaults: an empty line, nothing to prepare.
py::object empty_pack_cmd(const Call& c);
py::object no_check_attr(const Call& c);

// self.name(): the member's entry called directly when it is this module's
// own and not shadowed by an instance attribute (nothing at all when that
// entry is `skip`, a member known to do nothing), else the generic call.
py::object call_own(py::handle self, PyObject* name, RawFn skip = nullptr);

// Binds an __init__ of this module: a call with no keyword takes its
// positional arguments as they are, with no keyword dict made; the binder
// handles every other call. `kwargs` stays empty when no keyword is given.
template <int N>
Bound<N> bind_init(const Signature& sig, const Call& c) {
    if (c.nkw() == 0 && c.nargs == N) {
        Bound<N> b;
        for (int i = 0; i < N; ++i) b.v[i] = c.args[i];
        return b;
    }
    return bind<N>(sig, c);
}

inline py::object int_obj(long v) { return steal(PyLong_FromLong(v)); }

// The constant overhead and wait_time properties, in that order.
template <long Overhead, long Wait>
void costs(ClassBuilder& b) {
    b.property("overhead", getter<const_int<Overhead>>()).property("wait_time", getter<const_int<Wait>>());
}

// The jump line "jali $<cmd_idx>" is shared by the target jumps.
inline constexpr char kJali[] = "jali $";
inline constexpr char kCmdIdx[] = "cmd_idx";

// _pack_cmd of a fixed line.
template <const char* Text>
py::object fixed_line(const Call& c) {
    self_only(c, "_pack_cmd");
    static PyObject* const t = intern(Text);
    return py::reinterpret_borrow<py::object>(t);
}

// _pack_cmd of "<Prefix><field>", the field read afresh and written by
// `Append` (format(x, "") by default; some lines use str()).
template <const char* Prefix, const char* Field, void (*Append)(std::string&, py::handle) = append_field>
py::object prefixed_line(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    py::object v = read_attr(self, TVK_NAME(Field));
    std::string s(Prefix);
    Append(s, v);
    return make_str(s);
}

// __init__(self, <Arg>, **kwargs): the rest of the constructor chain, then
// the argument stored unchanged as <Field>.
template <const char* Arg, const char* Field>
py::object one_arg_init(const Call& c) {
    static const Signature sig("__init__", {"self", Arg}, 2, Signature::VarKw);
    auto b = bind_init<2>(sig, c);
    call_next_init(c.cls, b[0], b.kwargs);
    static InlineFields fields({Field});
    fields.set(b.v[0], {b.v[1]});
    return py::none();
}

// Registration, one function per class, called by module.cpp in class order.
void register_config(py::module_& m);
void register_base(py::module_& m);
void register_categories(py::module_& m);

// Concrete classes, in the module's class order.
void register_IRFrame(py::module_& m);
void register_IRArbWaveform(py::module_& m);
void register_IREnvelope(py::module_& m);
void register_IRNop(py::module_& m);
void register_IRProt(py::module_& m);
void register_IRPth(py::module_& m);
void register_IRDemodule(py::module_& m);
void register_IRWaveform(py::module_& m);
void register_IRFreqlist(py::module_& m);
void register_IRWaitTrig(py::module_& m);
void register_IRJumpImmediate(py::module_& m);
void register_IRJumpImmTiming(py::module_& m);
void register_IRTimingPlaceholder(py::module_& m);
void register_IRJumpConditional(py::module_& m);
void register_IRJumpInside(py::module_& m);
void register_IRLoadDDRImm(py::module_& m);
void register_IRPlayDDRImm(py::module_& m);
void register_IRPlayImm(py::module_& m);
void register_IRPlaycImm(py::module_& m);
void register_IRCapture(py::module_& m);
void register_IRWait(py::module_& m);
void register_IRWaitPoints(py::module_& m);
void register_IRDelay(py::module_& m);
void register_IRFrameAdd(py::module_& m);
void register_IRFrameRst(py::module_& m);
void register_IRAdd(py::module_& m);
void register_IRMov(py::module_& m);
void register_IRNsw(py::module_& m);
void register_IRNlw(py::module_& m);
void register_IRJmov(py::module_& m);
void register_IRWaitDDR(py::module_& m);
void register_IRLoadEvent(py::module_& m);
void register_IRClearEvent(py::module_& m);
void register_IRJumpEvent(py::module_& m);
void register_IRNativeLoop(py::module_& m);
void register_IRLoop(py::module_& m);
void register_IRPlaceholder(py::module_& m);
void register_IRJumpImmNormal(py::module_& m);

}  // namespace tvk::ir
