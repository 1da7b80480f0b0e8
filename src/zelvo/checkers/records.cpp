// Error records, the global names a check reads, and the two checkers that
// check nothing.
#include <cmath>

#include "checkers.hpp"
#include "record.hpp"

namespace tvk::checkers {

PyObject* code_default() {
    static PyObject* const code = intern("0x1000");
    return code;
}

// ---- Scope ----------------------------------------------------------------

namespace {
constexpr const char* kNames[kNameCount] = {
#define TVK_CHK_NAME_TEXT(n) #n,
    TVK_CHECKER_GLOBALS(TVK_CHK_NAME_TEXT)
#undef TVK_CHK_NAME_TEXT
};
}  // namespace

Scope::~Scope() {
    for (PyObject* o : names_) Py_XDECREF(o);
    for (Slot& s : slots_) Py_XDECREF(reinterpret_cast<PyObject*>(s.type));
}

PyObject* Scope::global(Name n) {
    if (!names_[n]) names_[n] = module_global(reg().module_dict, intern(kNames[n])).release().ptr();
    return names_[n];
}

bool Scope::class_cacheable(Name cls) {
    if (!meta_ok_[cls]) {
        PyObject* meta = reinterpret_cast<PyObject*>(Py_TYPE(global(cls)));
        // (ABCMeta's checks are functions of abc: only while they run the
        // code they had as the module loaded.)
        const bool plain = meta == reinterpret_cast<PyObject*>(&PyType_Type) ||
                           (meta == reg().abc_meta && abc_checks_unchanged());
        meta_ok_[cls] = plain ? 1 : -1;
    }
    return meta_ok_[cls] > 0;
}

Scope::Slot* Scope::slot(PyTypeObject* tp) {
    const std::size_t h = home(tp);
    for (int k = 0; k < kSlots; ++k) {
        Slot& s = slots_[(h + k) & (kSlots - 1)];
        if (s.type == tp) return &s;
        if (s.type) continue;
        if (used_ >= kMaxTypes) return nullptr;
        Py_INCREF(tp);
        s.type = tp;
        ++used_;
        // Without its own __class__ or attribute hook, an object's class is
        // its type, so the test depends on the type alone.
        s.cacheable = tp->tp_getattro == PyObject_GenericGetAttr &&
                      insides::type_lookup(tp, TVK_NAME("__class__")) == reg().object_class;
        return &s;
    }
    return nullptr;
}

bool Scope::ask(PyObject* obj, Name cls) {
    Slot* s = slot(Py_TYPE(obj));
    const std::uint32_t bit = 1u << cls;
    if (s && (s->known & bit)) return (s->member & bit) != 0;
    const bool r = is_instance(obj, global(cls));
    if (s && s->cacheable && class_cacheable(cls)) {
        s->known |= bit;
        if (r) s->member |= bit;
    }
    return r;
}

// ---- records --------------------------------------------------------------

void index_overflow() {
    PyErr_SetString(PyExc_IndexError, "cannot fit 'int' into an index-sized integer");
    throw py::error_already_set();
}

void append_error(py::handle list, Py_ssize_t index, py::handle error, PyObject* msg, PyObject* type,
                  PyObject* code) {
    check_list(list, "ir_list");
    check_list(error, "error");
    PyObject* l = list.ptr();
    const Py_ssize_t n = PyList_GET_SIZE(l);
    if (index >= n) return;
    PyObject* prev = index > 0 ? item_at(l, index - 1) : Py_None;
    PyObject* next = index < n - 1 ? item_at(l, index + 1) : Py_None;
    PyObject* cur = item_at(l, index);
    PyObject* rec = PyList_New(kRecordFields);
    if (!rec) throw py::error_already_set();
    PyObject* items[kRecordFields];
    items[kRecordMessage] = msg;
    items[kRecordPrevious] = prev;
    items[kRecordInstruction] = cur;
    items[kRecordNext] = next;
    items[kRecordClass] = type;
    items[kRecordCode] = code;
    for (int k = 0; k < kRecordFields; ++k) PyList_SET_ITEM(rec, k, Py_NewRef(items[k]));
    int rc = PyList_Append(error.ptr(), rec);
    Py_DECREF(rec);
    if (rc < 0) throw py::error_already_set();
}

Py_ssize_t position(py::handle index, const char* arg_name, int& overflow) {
    py::object i = to_int_arg(index, arg_name);
    overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<Py_ssize_t>(v);
}

Py_ssize_t list_position(py::handle index) {
    Py_ssize_t i = PyNumber_AsSsize_t(index.ptr(), nullptr);
    if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
    return i;
}

namespace {

// value op limit (Py_GT or Py_LT); a NaN is past the limit either way.
bool past_limit(py::handle value, PyObject* limit, double limit_value, int op) {
    PyObject* v = value.ptr();
    auto past = [&](double d) { return op == Py_GT ? d > limit_value : d < limit_value; };
    if (PyFloat_CheckExact(v)) {
        double d = PyFloat_AS_DOUBLE(v);
        return std::isnan(d) || past(d);
    }
    std::int64_t i;
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    if (small_int(v, i) && i <= kExact && i >= -kExact) return past(static_cast<double>(i));
    int r = PyObject_RichCompareBool(v, limit, op);
    if (r < 0) throw py::error_already_set();
    if (r) return true;
    if (PyFloat_Check(v)) return std::isnan(PyFloat_AS_DOUBLE(v));
    if (!is_instance(v, reg().np_floating)) return false;
    double d = PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return std::isnan(d);
}

}  // namespace

bool over_limit(py::handle value, PyObject* limit, double limit_value) {
    return past_limit(value, limit, limit_value, Py_GT);
}

bool under_limit(py::handle value, PyObject* limit, double limit_value) {
    return past_limit(value, limit, limit_value, Py_LT);
}

namespace {

// append_error(index: int, ir_list: list, error: list, msg, error_type,
// error_code="0x1000") -> error
py::object append_error_fn(const Call& c) {
    static const Signature sig("append_error", {"index", "ir_list", "error", "msg", "error_type", "error_code"}, 5,
                               Signature::None, {code_default()});
    auto b = bind<6>(sig, c);
    int overflow;
    Py_ssize_t index = position(b[0], "index", overflow);
    check_list(b[1], "ir_list");
    check_list(b[2], "error");
    if (overflow < 0) index_overflow();  // what reading the next item at such a position raises
    if (overflow == 0) append_error(b[1], index, b[2], b.v[3], b.v[4], b.v[5]);
    return py::reinterpret_borrow<py::object>(b[2]);
}

py::object nothing_init(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1);
    bind<1>(sig, c);
    return py::none();
}

// BaseChecker.check_ir(IR_list) / SequenceChecker.check_ir(ir_list): a
// shallow copy, declared to be a list.
template <bool Upper>
py::object copy_check(const Call& c) {
    CheckArgs a = check_args(c, Upper ? "IR_list" : "ir_list");
    return check_list_result(shallow_copy(a.list));
}

}  // namespace

ItemCall item_call(const Call& c, const Signature& sig, int list_slot, int index_slot, int error_slot) {
    auto b = bind<3>(sig, c);
    check_list(b[list_slot], "ir_list");
    check_list(b[error_slot], "error");
    return {b[list_slot], b[index_slot], b[error_slot], steal(PyObject_GetItem(b.v[list_slot], b.v[index_slot]))};
}

CheckArgs check_args(const Call& c, const char* param) {
    static const Signature lower("check_ir", {"self", "ir_list"}, 2);
    static const Signature upper("check_ir", {"self", "IR_list"}, 2);
    auto b = bind<2>(param[0] == 'I' ? upper : lower, c);
    return {b[0], b[1]};
}

PyObject* define_checker(py::module_& m, const char* name, MethodDef check_ir, MethodDef init) {
    return define_class(m, kModule, name, {reg().BaseChecker}, [&](ClassBuilder& b) {
        b.method("__init__", init.fn ? init : method<init_only>()).method("check_ir", check_ir);
    });
}

void register_records(py::module_& m) {
    add_function(m, "append_error", method<append_error_fn>());

    reg().BaseChecker = define_class(m, kModule, "BaseChecker", {}, [](ClassBuilder& b) {
        // Shared by the class, its subclasses and their objects; nothing reads them.
        b.attr("warnings_instruction", py::list())
            .attr("error_instruction", py::list())
            .attr("IR_list", py::list())
            .method("__init__", method<nothing_init>())
            .method("check_ir", method<copy_check<true>>());
    });

    define_checker(m, "SequenceChecker", method<copy_check<false>>());
}

}  // namespace tvk::checkers
