#include "pyclass.hpp"

#include "args.hpp"
#include "direct.hpp"
#include "function.hpp"

#include <pybind11/pybind11.h>

#include <structmember.h>

#include <cstdint>

#include <stdexcept>

#include "enums.hpp"
#include "keep.hpp"

namespace tvk {

namespace {

// Method descriptor of our bound members: a method descriptor (so attribute
// calls skip the bound-method object) with vectorcall straight into the C++
// entry point; optionally abstract for abc.
struct MethodObject {
    PyObject_HEAD
    PyObject* func;  // the callable it stands for (names, doc, generic calls)
    PyObject* cell;  // m_self handed to `fn`
    RawFn fn;        // direct entry, or nullptr to call `func`
    vectorcallfunc vectorcall;
    int abstract;
};

PyObject* method_cleared() {
    PyErr_SetString(PyExc_TypeError, "method was cleared");
    return nullptr;
}

PyObject* method_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (m->fn) return m->fn(m->cell, args, static_cast<Py_ssize_t>(nargsf), kwnames);
    if (!m->func) return method_cleared();
    return PyObject_Vectorcall(m->func, args, nargsf, kwnames);
}

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    Py_VISIT(m->func);
    Py_VISIT(m->cell);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int method_clear(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    m->fn = nullptr;
    Py_CLEAR(m->cell);
    Py_CLEAR(m->func);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    method_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kw) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (!m->func) return method_cleared();
    return PyObject_Call(m->func, args, kw);
}

PyObject* method_abstract(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<MethodObject*>(self)->abstract);
}

PyObject* method_forward(PyObject* self, void* name) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (!m->func) Py_RETURN_NONE;
    return PyObject_GetAttrString(m->func, static_cast<const char*>(name));
}

// "Class.name" once the defining class exists (the wrapped builtin would say
// "list.name", after the type of its cell).
PyObject* method_qualname(PyObject* self, void*) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    if (!m->func) Py_RETURN_NONE;
    PyObject* cls = detail::cell_class(m->cell);
    if (!cls) return PyObject_GetAttrString(m->func, "__qualname__");
    PyObject* owner = PyObject_GetAttrString(cls, "__qualname__");
    if (!owner) return nullptr;
    PyObject* name = PyObject_GetAttrString(m->func, "__name__");
    if (!name) {
        Py_DECREF(owner);
        return nullptr;
    }
    PyObject* r = PyUnicode_FromFormat("%U.%U", owner, name);
    Py_DECREF(owner);
    Py_DECREF(name);
    return r;
}

PyGetSetDef method_getset[] = {
    {"__isabstractmethod__", method_abstract, nullptr, nullptr, nullptr},
    {"__name__", method_forward, nullptr, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", method_qualname, nullptr, nullptr, nullptr},
    {"__doc__", method_forward, nullptr, nullptr, const_cast<char*>("__doc__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__wrapped__", T_OBJECT, offsetof(MethodObject, func), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(MethodObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(method_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(method_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(method_dealloc)},
    {Py_tp_getset, method_getset},
    {Py_tp_members, method_members},
    {0, nullptr},
};

// Immutable, as the interpreter's own method types are: no __get__ or
// __set__ can be given to the type and no method's class can be changed, so a
// member of this type stays the kind of member it is.
PyType_Spec method_spec = {"tarvok.method", sizeof(MethodObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
                               Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
                           method_slots};

// One method type for every module. Each module links its own copy of this
// layer, and a direct path must know the methods another module made (a
// class of one module deriving from another's), so the first module to load
// makes the type and leaves it in the interpreter's state dict, under a name
// that carries the layout of MethodObject; the others take it from there. A
// type left under that name with another size is not used.
constexpr const char* kSharedMethodType = "tarvok.method type, layout 1";

struct SharedMethodType {
    std::size_t object_size;
    PyTypeObject* type;
};

PyTypeObject* shared_method_type() {
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state) throw std::runtime_error("no interpreter state dict to share the method type in");
    PyObject* key = intern(kSharedMethodType);
    PyObject* found = PyDict_GetItemWithError(state, key);
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    if (found && PyCapsule_IsValid(found, kSharedMethodType)) {
        auto* shared = static_cast<SharedMethodType*>(PyCapsule_GetPointer(found, kSharedMethodType));
        if (shared && shared->object_size == sizeof(MethodObject))
            return reinterpret_cast<PyTypeObject*>(Py_NewRef(shared->type));
        PyErr_Clear();
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(keep_new(PyType_FromSpec(&method_spec)));
    if (!found) {
        // Kept for the process, as the type is.
        py::object capsule = steal(PyCapsule_New(new SharedMethodType{sizeof(MethodObject), tp}, kSharedMethodType, nullptr));
        if (PyDict_SetItem(state, key, capsule.ptr()) < 0) throw py::error_already_set();
    }
    return tp;
}

PyTypeObject* method_type() {
    // Found or made once per module and never released.
    static PyTypeObject* const tp = shared_method_type();
    return tp;
}

py::object doc_py(const char* doc) { return doc ? py::object(py::str(doc)) : py::object(py::none()); }

py::object make_method(py::handle func, RawFn fn, py::handle cell, bool abstract) {
    auto* m = PyObject_GC_New(MethodObject, method_type());
    if (!m) throw py::error_already_set();
    m->func = Py_NewRef(func.ptr());
    m->cell = Py_XNewRef(cell.ptr());
    m->fn = fn;
    m->vectorcall = method_vectorcall;
    m->abstract = abstract ? 1 : 0;
    PyObject_GC_Track(m);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(m));
}

}  // namespace

MethodEntry method_entry(PyObject* descr) {
    if (Py_TYPE(descr) != method_type()) return {};
    auto* m = reinterpret_cast<MethodObject*>(descr);
    return {m->fn, m->cell};
}

py::object make_abstract(py::handle callable) { return make_method(callable, nullptr, py::handle(), true); }

ClassBuilder::ClassBuilder(std::string name, std::string module, std::string qualname)
    : name_(std::move(name)), module_(std::move(module)), qualname_(std::move(qualname)) {
    if (qualname_.empty()) qualname_ = name_;
    ns_["__module__"] = py::str(module_);
    ns_["__qualname__"] = py::str(qualname_);
}

const char* ClassBuilder::doc_for(const char* name, const char* doc) {
    if (doc) return doc;
    auto it = docs_.find(name);
    if (it == docs_.end()) return nullptr;
    it->second.second = true;
    return it->second.first.c_str();
}

ClassBuilder& ClassBuilder::base(py::handle cls) {
    bases_.push_back(py::reinterpret_borrow<py::object>(cls));
    return *this;
}

ClassBuilder& ClassBuilder::metaclass(py::handle meta) {
    meta_ = py::reinterpret_borrow<py::object>(meta);
    return *this;
}

ClassBuilder& ClassBuilder::method(const char* name, MethodDef def, const char* doc) {
    py::object f = make_cfunction(name, def.fn, cell_, doc_for(name, doc), module_.c_str());
    ns_[name] = make_method(f, def.fn, cell_, false);
    return *this;
}

ClassBuilder& ClassBuilder::abstract_method(const char* name, MethodDef def, const char* doc) {
    py::object f = make_cfunction(name, def.fn, cell_, doc_for(name, doc), module_.c_str());
    ns_[name] = make_method(f, def.fn, cell_, true);
    return *this;
}

ClassBuilder& ClassBuilder::staticmethod(const char* name, MethodDef def, const char* doc) {
    py::object f = make_cfunction(name, def.fn, cell_, doc_for(name, doc), module_.c_str());
    ns_[name] = steal(PyStaticMethod_New(f.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::classmethod(const char* name, MethodDef def, const char* doc) {
    py::object f = make_cfunction(name, def.fn, cell_, doc_for(name, doc), module_.c_str());
    ns_[name] = steal(PyClassMethod_New(f.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::property(const char* name, GetterDef get, const char* doc) {
    py::object g = make_cfunction(name, get.fn, cell_, nullptr, module_.c_str());
    py::object prop = py::module_::import("builtins").attr("property")(g, py::none(), py::none(),
                                                                         doc_py(doc_for(name, doc)));
    ns_[name] = prop;
    return *this;
}

ClassBuilder& ClassBuilder::property(const char* name, GetterDef get, SetterDef set,
                                     const char* doc) {
    py::object g = make_cfunction(name, get.fn, cell_, nullptr, module_.c_str());
    py::object s = make_cfunction(name, set.fn, cell_, nullptr, module_.c_str());
    py::object prop = py::module_::import("builtins").attr("property")(g, s, py::none(),
                                                                         doc_py(doc_for(name, doc)));
    ns_[name] = prop;
    return *this;
}

ClassBuilder& ClassBuilder::abstract_property(const char* name, GetterDef get, const char* doc) {
    py::object g = make_abstract(make_cfunction(name, get.fn, cell_, nullptr, module_.c_str()));
    py::object prop = py::module_::import("builtins").attr("property")(g, py::none(), py::none(),
                                                                         doc_py(doc_for(name, doc)));
    ns_[name] = prop;
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::handle value) {
    ns_[name] = value;
    return *this;
}

py::object ClassBuilder::build() {
    for (const auto& [member, entry] : docs_)
        if (!entry.second) throw std::logic_error("help text for " + qualname_ + "." + member + ", which is no member");
    py::tuple bases(bases_.size());
    for (size_t i = 0; i < bases_.size(); ++i) bases[i] = bases_[i];
    py::object meta = meta_;
    if (!meta) {
        meta = bases_.empty() ? py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))
                              : py::reinterpret_borrow<py::object>(
                                    reinterpret_cast<PyObject*>(Py_TYPE(bases_[0].ptr())));
    }
    py::object cls = meta(py::str(name_), bases, ns_);
    cell_.append(cls);
    return cls;
}

py::object super_attr(py::handle defining_class, py::handle self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self.ptr());
    PyObject* mro = tp->tp_mro;
    Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != defining_class.ptr()) ++i;
    if (i == n) {
        PyErr_SetString(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
        throw py::error_already_set();
    }
    for (++i; i < n; ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        PyObject* d = PyDict_GetItemWithError(dict, name);
        if (!d) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        // Held while its __get__ runs, which may drop it from the class.
        py::object held = py::reinterpret_borrow<py::object>(d);
        descrgetfunc get = Py_TYPE(d)->tp_descr_get;
        if (get) return steal(get(d, self.ptr(), reinterpret_cast<PyObject*>(tp)));
        return held;
    }
    PyErr_Format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
    throw py::error_already_set();
}

py::handle init_self_only(const Call& c) {
    static const Signature sig("__init__", {"self"}, 1);
    auto b = bind<1>(sig, c);
    call_next_init(c.cls, b[0], py::handle());
    return b[0];
}

py::object init_only(const Call& c) {
    init_self_only(c);
    return py::none();
}

namespace {

// The __init__ that follows a defining class in a type's MRO, when it is a
// function (written in Python or made here) or one of our own methods: remembered per (type, defining class)
// while the type keeps its version tag, which changes with any change of the
// type or a base (so the class dicts the lookup read are as they were).
// Plain memory, only compared.
struct NextInit {
    PyTypeObject* tp = nullptr;
    PyObject* defining = nullptr;
    unsigned version = 0;
    PyObject* init = nullptr;  // borrowed from a class dict of the MRO
};
NextInit g_next_inits[256];

NextInit& next_init_slot(PyTypeObject* tp, PyObject* defining) {
    // Classes lie about a class size apart: a mixing hash spreads them.
    auto a = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(tp) >> 4);
    auto b = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(defining) >> 4);
    return g_next_inits[((a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full)) >> 56];
}

// object.__init__, which does nothing when given no argument but self (the
// built-in type's dict cannot be changed).
PyObject* object_init() {
    static PyObject* const d = PyDict_GetItemString(PyBaseObject_Type.tp_dict, "__init__");
    return d;
}

// The next __init__ after `defining` that can be called directly (or is
// object's own); nullptr when the generic lookup must decide (none found, or
// another kind).
PyObject* find_next_init(PyTypeObject* tp, PyObject* defining) {
    NextInit& e = next_init_slot(tp, defining);
    unsigned v = type_version(tp);
    if (e.tp == tp && e.defining == defining && v && e.version == v) return e.init;
    PyObject* name = TVK_NAME("__init__");
    PyObject* mro = tp->tp_mro;
    Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != defining) ++i;
    PyObject* found = nullptr;
    for (Py_ssize_t j = i + 1; j < n; ++j) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, j))->tp_dict;
        PyObject* d = PyDict_GetItemWithError(dict, name);
        if (!d) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        if (PyFunction_Check(d) || Py_TYPE(d) == method_type() || is_made_function(d) || d == object_init())
            found = d;
        break;
    }
    // The lookup gives the type a version tag when it has none yet.
    if (!v) v = insides::tagged_type_version(tp);
    if (v) e = NextInit{tp, defining, v, found};
    return found;
}

}  // namespace

PyObject* next_init(py::handle defining_class, py::handle self) {
    PyObject* d = find_next_init(Py_TYPE(self.ptr()), defining_class.ptr());
    return d == object_init() ? nullptr : d;
}

void call_next_init(py::handle defining_class, py::handle self, py::handle kwargs) {
    PyObject* name = TVK_NAME("__init__");
    PyObject* kw = kwargs && !kwargs.is_none() ? kwargs.ptr() : nullptr;
    // Functions and our own methods: called with self in front, no bound
    // method object in between, held while they run.
    PyObject* d = find_next_init(Py_TYPE(self.ptr()), defining_class.ptr());
    if (d == object_init() && (!kw || (PyDict_Check(kw) && PyDict_GET_SIZE(kw) == 0))) return;
    if (d && d != object_init()) {
        py::object held = py::reinterpret_borrow<py::object>(d);
        PyObject* argv[1] = {self.ptr()};
        MethodEntry own = kw ? MethodEntry{} : method_entry(d);
        PyObject* r = own ? own.fn(own.cell, argv, 1, nullptr) : PyObject_VectorcallDict(d, argv, 1, kw);
        if (!r) throw py::error_already_set();
        Py_DECREF(r);
        return;
    }
    py::object f = super_attr(defining_class, self, name);
    PyObject* empty = PyTuple_New(0);
    if (!empty) throw py::error_already_set();
    PyObject* r = PyObject_Call(f.ptr(), empty, kw);
    Py_DECREF(empty);
    if (!r) throw py::error_already_set();
    Py_DECREF(r);
}

py::object make_int_flag(const char* name, const char* module, const char* qualname,
                         std::initializer_list<std::pair<const char*, long long>> members) {
    return make_enum_class("IntFlag", name, module, qualname, members);
}

py::object make_exception(const char* name, const char* module, py::handle base) {
    std::string dotted = std::string(module) + "." + name;
    return steal(PyErr_NewException(dotted.c_str(), base.ptr(), nullptr));
}

std::string module_name(const py::module_& m) { return py::str(m.attr("__name__")); }

}  // namespace tvk
