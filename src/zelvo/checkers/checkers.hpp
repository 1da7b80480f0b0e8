// Shared declarations of module tarvok.zelvo._checkers: the module globals a
// check reads while it runs, the instance tests it makes, the walk over the
// scheduled list and the one function that makes error records.
#pragma once

#include <cstdint>

#include "common/kit.hpp"
#include "common/count.hpp"
#include "common/instance_test.hpp"
#include "common/walk.hpp"

namespace tvk::checkers {

inline constexpr const char* kModule = "tarvok.zelvo._checkers";

// The module's registry (common/module.hpp).
struct Registry {
    PyObject* module_dict;
    PyObject* abc_meta;      // abc.ABCMeta
    PyObject* object_class;  // object's own __class__ descriptor
    PyObject *np_ndarray, *np_floating, *np_abs, *np_asarray, *np_float64;
    PyObject* BaseChecker;
};
inline Registry& reg() { return module_registry<Registry>(); }

// The module globals the checks name. Like the names in a Python function
// body they are looked up when a check runs, so a rebound name is honoured.
// The instruction classes come first: only they are tested against, one
// membership bit each.
#define TVK_CHECKER_GLOBALS(X)                                                                                   \
    X(IRBase) X(PreIR) X(UnfixIR) X(FixIR) X(OverlapIR) X(LoadDDRIR) X(IRNop) X(IRDelay) X(IRWait) X(IRWaitTrig) \
    X(IRFrameRst) X(IRCapture) X(IREnvelope) X(IRFrame) X(IRPlayImm) X(IRPlaycImm) X(IRProt) X(IRWaveform)        \
    X(TimingError) X(PlayError) X(CaptureError)

enum Name : int {
#define TVK_CHK_NAME_ENUM(n) n,
    TVK_CHECKER_GLOBALS(TVK_CHK_NAME_ENUM)
#undef TVK_CHK_NAME_ENUM
    kNameCount,
    kClassCount = TimingError,
};

// One check's view of the module: each global read once, on first use
// (NameError when it is gone), and the instance tests of the walk remembered
// per instruction type (a first answer taken from the process-wide memo of
// abc instance tests, instance_test.hpp). A type's answer is remembered only when it cannot
// vary between objects of that type: the class is a plain or abc class and
// the type keeps object's own __class__.
class Scope {
public:
    Scope() = default;
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope();

    // Borrowed; the scope holds a reference for its lifetime.
    PyObject* global(Name n);
    // isinstance(obj, <global n>); an answer known for the type at its first
    // slot is read here, inline, since every check asks it for every item.
    bool is(PyObject* obj, Name cls) {
        PyTypeObject* tp = Py_TYPE(obj);
        const Slot& s = slots_[home(tp)];
        const std::uint32_t bit = 1u << cls;
        if (s.type == tp && (s.known & bit)) return (s.member & bit) != 0;
        return ask(obj, cls);
    }

private:
    struct Slot {
        PyTypeObject* type = nullptr;  // strong reference while the scope lives
        std::uint32_t known = 0;
        std::uint32_t member = 0;
        bool cacheable = false;
    };
    static constexpr int kSlots = 64;
    static constexpr int kMaxTypes = 40;
    static_assert(kClassCount <= 32, "membership bits");

    // The first slot a type may take: types lie a few hundred bytes apart,
    // and the multiply spreads them over the whole table.
    static std::size_t home(const PyTypeObject* tp) {
        const auto a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(tp));
        return static_cast<std::size_t>((a * 0x9E3779B97F4A7C15ull) >> 58) & (kSlots - 1);
    }
    static_assert(kSlots == 64, "home() gives six bits");
    Slot* slot(PyTypeObject* tp);
    bool ask(PyObject* obj, Name cls);
    bool class_cacheable(Name cls);

    // First answers come from the process-wide memo of abc instance tests.
    InstanceTestScope instances_;
    PyObject* names_[kNameCount] = {};
    signed char meta_ok_[kClassCount] = {};  // 0 unknown, 1 yes, -1 no
    Slot slots_[kSlots];
    int used_ = 0;
};

// The records' default code, "0x1000".
PyObject* code_default();

// Borrowed list[i] of an exact list, as list indexing reads it (negative
// from the end; IndexError past either end).
inline PyObject* item_at(PyObject* list, Py_ssize_t i) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        throw py::error_already_set();
    }
    return PyList_GET_ITEM(list, i);
}

// The IndexError of reading a list at a position too large in magnitude for
// an index.
[[noreturn]] void index_overflow();

// Appends [msg, previous, list[index], next, type, code] to `error` unless
// `index` is past the end; neighbours come from `list` itself. Both must be
// lists exactly (the argument tests of append_error). A negative index
// counts from the end, as list indexing does.
void append_error(py::handle list, Py_ssize_t index, py::handle error, PyObject* msg, PyObject* type,
                  PyObject* code);

// append_error with the code "0x1000" and the error class the global `type`
// names.
inline void record(Scope& s, py::handle list, Py_ssize_t index, py::handle error, PyObject* msg, Name type) {
    append_error(list, index, error, msg, s.global(type), code_default());
}

// Calls f(position, item) for each item of `seq` in order, as for_each
// walks it (a list by position, its length read at every step).
template <class F>
void each(py::handle seq, F&& f) {
    py::object hold = py::reinterpret_borrow<py::object>(seq);
    Py_ssize_t i = 0;
    for_each(seq, [&](py::handle item) { f(i++, item); });
}

// The walk of most checkers: every top-level item (container, position,
// item), and right after an UnfixIR the items of its block, one level deep.
template <class F>
void each_with_blocks(Scope& s, py::handle top, F&& f) {
    each(top, [&](Py_ssize_t i, py::handle item) {
        f(top, i, item);
        if (!s.is(item.ptr(), UnfixIR)) return;
        py::object block = getattr(item, TVK_NAME("ir_sub"));
        each(block, [&](Py_ssize_t j, py::handle sub) { f(block, j, sub); });
    });
}

inline py::object new_list() { return steal(PyList_New(0)); }

// The pair (first, second) that check_ir returns.
inline py::object pair(py::handle first, py::handle second) {
    return steal(PyTuple_Pack(2, first.ptr(), second.ptr()));
}

// Its wait time minus its overhead: the window an instruction leaves free,
// and the length of a play.
inline Count window_of(py::handle ir) {
    Count wait = cycles(ir, TVK_NAME("wait_time"));
    return wait - cycles(ir, TVK_NAME("overhead"));
}

// A declared `int` position as a Py_ssize_t; `overflow` tells the sign of
// one that does not fit (0 when it fits).
Py_ssize_t position(py::handle index, const char* arg_name, int& overflow);

// An untested position that has just read an item of a list: as a
// Py_ssize_t (a slice or other non-integer raises the interpreter's
// TypeError).
Py_ssize_t list_position(py::handle index);

// value > limit in the interpreter's comparison; a NaN (a float or numpy
// floating value) counts as past the limit, since it compares false with
// every bound and would pass silently.
bool over_limit(py::handle value, PyObject* limit, double limit_value);
// value < limit, a NaN counting as past it too.
bool under_limit(py::handle value, PyObject* limit, double limit_value);

// The checker base class and the checker class builder: base BaseChecker,
// an __init__ that runs the next __init__ of the MRO, the given check_ir.
PyObject* define_checker(py::module_& m, const char* name, MethodDef check_ir, MethodDef init = MethodDef{nullptr});

// A module function over one item of a list (check_limit, check_envelope,
// check_ply): binds the call, tests `ir_list` and `error` (lists exactly) and
// reads ir_list[index] as list indexing does; the index itself is untested.
struct ItemCall {
    py::handle list, index, error;
    py::object ir;
};
ItemCall item_call(const Call& c, const Signature& sig, int list_slot, int index_slot, int error_slot);

// Binds check_ir(self, ir_list) and returns the two slots.
struct CheckArgs {
    py::handle self, list;
};
CheckArgs check_args(const Call& c, const char* param = "ir_list");

// Registration, one function per topic, called by module.cpp in this order.
void register_records(py::module_& m);    // append_error, BaseChecker, SequenceChecker
void register_overlap(py::module_& m);    // window and wait-time checks, OverlapChecker
void register_envelopes(py::module_& m);  // EnvelopeChecker, IRNumberChecker
void register_limits(py::module_& m);     // check_ply and the five value-limit checkers
void register_order(py::module_& m);      // the order chains and EmptyWtgChecker

}  // namespace tvk::checkers
