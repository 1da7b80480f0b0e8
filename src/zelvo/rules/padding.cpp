// Timing padding: after every instruction the cycles its real wait time
// leaves beyond its own overhead, as nops or as one delay and three nops;
// after a DDR play the DDR wait and three nops. The inserted nops and delays
// carry the padded instruction's line, and, through set_kernel, a kernel.
#include "rules.hpp"

#include "common/fields.hpp"
#include "rules_core.hpp"

namespace tvk::rules {

namespace {

// A delay stands for its width in cycles plus its own overhead (2) and that
// of the three nops after it (1 each).
constexpr long kWitiOverhead = 5;

bool nop_or_delay(py::handle ir) { return is_a(ir, reg().IRNop) || is_a(ir, reg().IRDelay); }

// Every nop and delay of `result`, and of the block of each instruction of
// unfixed duration in it, gets the kernel of `source` (read once, when the
// first is met).
void give_kernel(py::handle result, PyObject* source) {
    py::object kernel;
    auto set = [&](py::handle ir) {
        if (!kernel) {
            if (!source) {
                PyErr_SetString(PyExc_TypeError,
                                "set_kernel: the padded instruction must be given as a positional argument");
                throw py::error_already_set();
            }
            kernel = getattr(source, TVK_NAME("kernel"));
        }
        static InlineFields field({"kernel"});
        field.set(ir.ptr(), {kernel.ptr()});
    };
    for_each(result, [&](py::handle ir) {
        if (is_a(ir, reg().UnfixIR))
            for_each(getattr(ir, TVK_NAME("ir_sub")), [&](py::handle sub) {
                if (nop_or_delay(sub)) set(sub);
            });
        if (nop_or_delay(ir)) set(ir);
    });
}

// The wrapper set_kernel makes: the wrapped call, then the kernel of its
// second positional argument (the first when there is only one) on the
// nops and delays of the result, which is returned unchanged.
PyObject* kernel_wrapper_call(PyObject* func, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    try {
        InstanceTestScope scope;
        if (!func) {
            PyErr_SetString(PyExc_TypeError, "set_kernel wrapper was cleared");
            throw py::error_already_set();
        }
        const Py_ssize_t nargs = PyVectorcall_NARGS(static_cast<size_t>(nargsf));
        py::object result = steal(PyObject_Vectorcall(func, args, static_cast<size_t>(nargsf), kwnames));
        give_kernel(result, nargs >= 2 ? args[1] : nargs == 1 ? args[0] : nullptr);
        return result.release().ptr();
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}


// The padding of one instruction: the result list, which begins with it.
class Padding {
public:
    explicit Padding(py::handle ir) : ir_(ir), out_(steal(PyList_New(0))) { append(out_, ir); }

    // `count` nops carrying the instruction's line; none for zero or less.
    void nops(const Count& count) {
        std::int64_t n = nop_count(count);
        for (std::int64_t i = 0; i < n; ++i) add(make0(reg().IRNop), true);
    }
    // One delay of g - 5 cycles (its width in seconds at the kernel's base
    // clock, read now) and three nops.
    void delay(const Count& g) {
        py::object kernel = getattr(ir_, TVK_NAME("kernel"));
        py::object clock = steal(PyObject_GetItem(getattr(kernel, TVK_NAME("compile_params")).ptr(), TVK_NAME("base_clock")));
        py::object width = steal(PyNumber_Multiply((g - Count(kWitiOverhead)).object().ptr(), clock.ptr()));
        add(steal(PyObject_CallOneArg(reg().IRDelay, width.ptr())), true);
        for (int i = 0; i < 3; ++i) add(make0(reg().IRNop), true);
    }
    // The DDR wait and three nops, all of line 0.
    void ddr_wait() {
        add(make0(reg().IRWaitDDR), false);
        for (int i = 0; i < 3; ++i) add(make0(reg().IRNop), false);
    }
    // Nops up to g, or the delay form above 5 cycles (from 5 on when
    // `delay_at_five`).
    void wait(const Count& g, bool delay_at_five) {
        if (delay_at_five ? g >= Count(kWitiOverhead) : g > Count(kWitiOverhead))
            delay(g);
        else
            nops(g);
    }
    py::object result() { return out_; }

private:
    // A whole number of cycles (an int, or a float of whole value); more
    // nops than fifty times the instrument's whole program memory would only
    // exhaust the process, so such a count is refused.
    static std::int64_t nop_count(const Count& count) {
        std::int64_t n = count.value();
        if (!count.plain()) {
            py::object obj = count.object();
            PyObject* o = obj.ptr();
            if (PyIndex_Check(o)) {
                n = PyNumber_AsSsize_t(o, nullptr);
                if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
            } else if (!PyFloat_Check(o) || !core::whole_count(PyFloat_AS_DOUBLE(o), n)) {
                PyErr_Format(PyExc_TypeError, "a count of nops must be a whole number of cycles, not %R", o);
                throw py::error_already_set();
            }
        }
        if (n > core::kMaxNops) {
            PyErr_Format(PyExc_OverflowError, "cannot pad with %R nops: more than %lld is beyond any program",
                         count.object().ptr(), static_cast<long long>(core::kMaxNops));
            throw py::error_already_set();
        }
        return n;
    }
    void add(py::object ir, bool with_line) {
        if (with_line) {
            if (!line_) line_ = getattr(ir_, TVK_NAME("line"));
            static InlineFields field({"line"});
            field.set(ir.ptr(), {line_.ptr()});
        }
        append(out_, ir);
    }

    py::handle ir_;
    py::object out_;
    py::object line_;
};

// The cycles left to fill: real wait time minus the instruction's overhead.
Count left_over(py::handle ir) { return cycles(ir, TVK_NAME("real_wait_time")) - cycles(ir, TVK_NAME("overhead")); }

// The instruction argument of a padding method.
template <const char* Name>
py::handle padded(const Call& c) {
    static const Signature sig(Name, {"self", "ir"}, 2);
    return bind<2>(sig, c)[1];
}

constexpr char kPre[] = "append_preir";
constexpr char kOverlap[] = "append_overlapir";
constexpr char kFix[] = "append_fixir";
constexpr char kFake[] = "append_fakeir";
constexpr char kUnfix[] = "append_unfixir";
constexpr char kReconstitution[] = "append_reconstitutionir";

// A set-up instruction waits what it wants, not its real wait time.
py::object append_preir(const Call& c) {
    py::handle ir = padded<kPre>(c);
    Count wanted = cycles(ir, TVK_NAME("wait_time")) - cycles(ir, TVK_NAME("overhead"));
    Padding p(ir);
    if (wanted > Count(0) && !is_a(ir, reg().IREnvelope)) p.nops(wanted);
    return p.result();
}

py::object append_overlapir(const Call& c) {
    py::handle ir = padded<kOverlap>(c);
    Count g = left_over(ir);
    Padding p(ir);
    if (g > Count(0)) p.nops(g);
    return p.result();
}

// A fixed-duration instruction or a placeholder: after a DDR play the DDR
// wait, else its real wait (a placeholder takes the delay form from 5 cycles
// on, the others above 5).
template <const char* Name, bool DelayAtFive>
py::object append_timed(const Call& c) {
    py::handle ir = padded<Name>(c);
    Count g = left_over(ir);
    Padding p(ir);
    if (is_a(ir, reg().LoadDDRIR))
        p.ddr_wait();
    else
        p.wait(g, DelayAtFive);
    return p.result();
}

// A reconstitution instruction leaves the list; its successor's share was
// already taken.
py::object append_reconstitutionir(const Call& c) {
    py::handle ir = padded<kReconstitution>(c);
    left_over(ir);
    static PyObject* const nothing = intern("");
    return py::reinterpret_borrow<py::object>(nothing);
}

// The padding method of each category, in the order a level tests them; an
// item of none of them is dropped.
enum Method { Pre, Unfix, Overlap, Fix, Reconstitution, Fake };
constexpr const char* kMethods[] = {kPre, kUnfix, kOverlap, kFix, kReconstitution, kFake};

struct Dispatch {
    PyObject* Registry::*category;
    Method method;
};
constexpr Dispatch kTopLevel[] = {
    {&Registry::PreIR, Pre},         {&Registry::UnfixIR, Unfix}, {&Registry::OverlapIR, Overlap},
    {&Registry::FixIR, Fix},         {&Registry::ReconstitutionIR, Reconstitution},
    {&Registry::FakeIR, Fake},
};
constexpr Dispatch kBlock[] = {
    {&Registry::PreIR, Pre},         {&Registry::FixIR, Fix},     {&Registry::OverlapIR, Overlap},
    {&Registry::ReconstitutionIR, Reconstitution},                {&Registry::FakeIR, Fake},
};

template <std::size_t N>
int pick(py::handle ir, const Dispatch (&order)[N]) {
    for (const Dispatch& d : order)
        if (is_a(ir, reg().*d.category)) return d.method;
    return -1;
}

PyObject* method_name(int m) {
    static PyObject* const* const names = [] {
        auto* interned = new PyObject*[std::size(kMethods)];
        for (std::size_t i = 0; i < std::size(kMethods); ++i) interned[i] = intern(kMethods[i]);
        return interned;
    }();
    return names[m];
}

py::object append_unfixir(const Call& c);

// The bodies the set_kernel wrappers of TimingRule's own padding methods
// call, in kMethods order.
constexpr MethodFn kBodies[] = {append_preir, append_unfixir, append_overlapir, append_timed<kFix, false>,
                                append_reconstitutionir, append_timed<kFake, true>};

// Whether self.append_* are all the wrappers this module made, so that a
// padding call may run the wrapped body and then the wrapper's kernel step
// without the bound-method call in between.
bool own_padding(py::handle self) {
    static OwnSteps<std::size(kMethods), NoExtra> gate([] {
        std::array<Step, std::size(kMethods)> steps;
        for (std::size_t i = 0; i < steps.size(); ++i)
            steps[i] = own_object(method_name(static_cast<int>(i)), reg().own_padding[i]);
        return steps;
    }());
    return gate.open(self.ptr()).has_value();
}

// self.<method m>(ir), as the wrapper runs it when it is the module's own.
py::object pad_one(py::handle self, int m, py::handle ir) {
    if (!own_padding(self)) return call_method(self, method_name(m), {ir});
    PyObject* args[2] = {self.ptr(), ir.ptr()};
    py::object result = kBodies[m](Call{args, 2, nullptr, nullptr});
    give_kernel(result, ir.ptr());
    return result;
}

// Each item padded by the method its category picks, through the rule
// object; the results one after the other in a new list.
template <std::size_t N>
py::object pad_all(py::handle self, py::handle items, const Dispatch (&order)[N]) {
    py::object out = steal(PyList_New(0));
    for_each(items, [&](py::handle ir) {
        const int m = pick(ir, order);
        if (m >= 0) extend(out, pad_one(self, m, ir));
    });
    return out;
}

// The block padded item by item, then the head's own padding: its overhead
// beyond irhead, then its real wait.
py::object append_unfixir(const Call& c) {
    static const Signature sig(kUnfix, {"self", "ir"}, 2);
    auto b = bind<2>(sig, c);
    py::handle ir = b[1];
    Count g = left_over(ir);
    setattr(ir, TVK_NAME("ir_sub"), pad_all(b[0], getattr(ir, TVK_NAME("ir_sub")), kBlock));
    Padding p(ir);
    p.nops(cycles(ir, TVK_NAME("overhead")) - cycles(ir, TVK_NAME("irhead")));
    p.wait(g, false);
    return p.result();
}

py::object insert_ir(const Call& c) {
    static const Signature sig("insert_ir", {"self", "ir_list_ordered"}, 2);
    auto b = bind<2>(sig, c);
    return pad_all(b[0], b[1], kTopLevel);
}

// The entries of the padding methods, in kMethods order.
constexpr MethodDef kEntries[] = {entry<kBodies[0]>(), entry<kBodies[1]>(), entry<kBodies[2]>(),
                                  entry<kBodies[3]>(), entry<kBodies[4]>(), entry<kBodies[5]>()};

// set_kernel(func) for a function object.
py::object kernel_wrapper(py::handle func) {
    py::object wrapper = make_function(&kernel_wrapper_call, func, "wrapper", "set_kernel.<locals>.wrapper", kModule);
    steal(PyObject_CallFunctionObjArgs(reg().update_wrapper, wrapper.ptr(), func.ptr(), nullptr));
    return wrapper;
}

py::object set_kernel(const Call& c) {
    static const Signature sig("set_kernel", {"func"}, 1);
    return kernel_wrapper(bind<1>(sig, c)[0]);
}

template <Method M>
void padding_method(ClassBuilder& b) {
    std::string qualname = std::string("TimingRule.") + kMethods[M];
    py::object wrapper = kernel_wrapper(make_function(kEntries[M].fn, b.cell(), kMethods[M], qualname.c_str(), kModule));
    reg().own_padding[M] = pin(wrapper);  // kept for the process, like the class
    b.attr(kMethods[M], wrapper);
}

}  // namespace

void register_set_kernel(py::module_& m) { module_function(m, "set_kernel", entry<set_kernel>()); }

void padding_members(ClassBuilder& b) {
    member(b, "TimingRule", "insert_ir", entry<insert_ir>(), list_annotations({}, true));
    padding_method<Pre>(b);
    padding_method<Overlap>(b);
    padding_method<Fix>(b);
    padding_method<Fake>(b);
    padding_method<Unfix>(b);
    padding_method<Reconstitution>(b);
}

}  // namespace tvk::rules
