#include "pyclass.hpp"

#include <structmember.h>

namespace tvk {

namespace {

// A callable that abc takes for abstract: it carries __isabstractmethod__ and
// binds to instances like a function.
struct AbstractObject {
    PyObject_HEAD
    PyObject* func;
};

PyObject* abstract_call(PyObject* self, PyObject* args, PyObject* kw) {
    return PyObject_Call(reinterpret_cast<AbstractObject*>(self)->func, args, kw);
}

PyObject* abstract_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int abstract_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<AbstractObject*>(self)->func);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int abstract_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<AbstractObject*>(self)->func);
    return 0;
}

void abstract_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    abstract_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* abstract_flag(PyObject*, void*) { Py_RETURN_TRUE; }

PyObject* abstract_name(PyObject* self, void*) {
    return PyObject_GetAttrString(reinterpret_cast<AbstractObject*>(self)->func, "__name__");
}

PyGetSetDef abstract_getset[] = {
    {"__isabstractmethod__", abstract_flag, nullptr, nullptr, nullptr},
    {"__name__", abstract_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef abstract_members[] = {
    {"__wrapped__", T_OBJECT, offsetof(AbstractObject, func), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot abstract_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(abstract_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(abstract_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(abstract_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(abstract_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(abstract_dealloc)},
    {Py_tp_getset, abstract_getset},
    {Py_tp_members, abstract_members},
    {0, nullptr},
};

PyType_Spec abstract_spec = {"tarvok.abstractmember", sizeof(AbstractObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, abstract_slots};

PyTypeObject* abstract_type() {
    // Made once per process and never released.
    static PyObject* tp = PyType_FromSpec(&abstract_spec);
    if (!tp) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(tp);
}

py::object steal_or_throw(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

}  // namespace

py::object make_abstract(py::handle callable) {
    PyTypeObject* tp = abstract_type();
    auto* self = PyObject_GC_New(AbstractObject, tp);
    if (!self) throw py::error_already_set();
    self->func = Py_NewRef(callable.ptr());
    PyObject_GC_Track(self);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

ClassBuilder::ClassBuilder(std::string name, std::string module, std::string qualname)
    : name_(std::move(name)), module_(std::move(module)), qualname_(std::move(qualname)) {
    if (qualname_.empty()) qualname_ = name_;
    ns_["__module__"] = py::str(module_);
    ns_["__qualname__"] = py::str(qualname_);
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
    py::object f = make_cfunction(name, def.fn, cell_, doc, module_.c_str());
    ns_[name] = steal_or_throw(PyInstanceMethod_New(f.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::abstract_method(const char* name, MethodDef def, const char* doc) {
    py::object f = make_cfunction(name, def.fn, cell_, doc, module_.c_str());
    ns_[name] = make_abstract(f);
    return *this;
}

ClassBuilder& ClassBuilder::staticmethod(const char* name, MethodDef def, const char* doc) {
    py::object f = make_cfunction(name, def.fn, cell_, doc, module_.c_str());
    ns_[name] = steal_or_throw(PyStaticMethod_New(f.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::classmethod(const char* name, MethodDef def, const char* doc) {
    py::object f = make_cfunction(name, def.fn, cell_, doc, module_.c_str());
    ns_[name] = steal_or_throw(PyClassMethod_New(f.ptr()));
    return *this;
}

ClassBuilder& ClassBuilder::property(const char* name, GetterDef get, const char* doc) {
    py::object g = make_cfunction(name, get.fn, cell_, nullptr, module_.c_str());
    py::object prop = py::module_::import("builtins").attr("property")(g, py::none(), py::none(),
                                                                         doc ? py::object(py::str(doc)) : py::object(py::none()));
    ns_[name] = prop;
    return *this;
}

ClassBuilder& ClassBuilder::property(const char* name, GetterDef get, SetterDef set,
                                     const char* doc) {
    py::object g = make_cfunction(name, get.fn, cell_, nullptr, module_.c_str());
    py::object s = make_cfunction(name, set.fn, cell_, nullptr, module_.c_str());
    py::object prop = py::module_::import("builtins").attr("property")(g, s, py::none(),
                                                                         doc ? py::object(py::str(doc)) : py::object(py::none()));
    ns_[name] = prop;
    return *this;
}

ClassBuilder& ClassBuilder::abstract_property(const char* name, GetterDef get, const char* doc) {
    py::object g = make_abstract(make_cfunction(name, get.fn, cell_, nullptr, module_.c_str()));
    py::object prop = py::module_::import("builtins").attr("property")(g, py::none(), py::none(),
                                                                         doc ? py::object(py::str(doc)) : py::object(py::none()));
    ns_[name] = prop;
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, py::handle value) {
    ns_[name] = value;
    return *this;
}

py::object ClassBuilder::build() {
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
        descrgetfunc get = Py_TYPE(d)->tp_descr_get;
        if (get) return steal_or_throw(get(d, self.ptr(), reinterpret_cast<PyObject*>(tp)));
        return py::reinterpret_borrow<py::object>(d);
    }
    PyErr_Format(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
    throw py::error_already_set();
}

void call_next_init(py::handle defining_class, py::handle self, py::handle kwargs) {
    PyObject* name = TVK_NAME("__init__");
    PyObject* kw = kwargs && !kwargs.is_none() ? kwargs.ptr() : nullptr;
    PyTypeObject* tp = Py_TYPE(self.ptr());
    PyObject* mro = tp->tp_mro;
    Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != defining_class.ptr()) ++i;
    for (Py_ssize_t j = i + 1; j < n; ++j) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, j))->tp_dict;
        PyObject* d = PyDict_GetItemWithError(dict, name);
        if (!d) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        // Our own methods: call the function with self in front, no bound
        // method object in between.
        if (PyInstanceMethod_Check(d) || PyFunction_Check(d)) {
            PyObject* f = PyInstanceMethod_Check(d) ? PyInstanceMethod_GET_FUNCTION(d) : d;
            PyObject* argv[1] = {self.ptr()};
            PyObject* r = PyObject_VectorcallDict(f, argv, 1, kw);
            if (!r) throw py::error_already_set();
            Py_DECREF(r);
            return;
        }
        break;
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
    py::list items;
    for (auto& [k, v] : members) items.append(py::make_tuple(py::str(k), py::int_(v)));
    py::object int_flag = py::module_::import("enum").attr("IntFlag");
    using namespace pybind11::literals;
    return int_flag(py::str(name), items, "module"_a = module, "qualname"_a = qualname);
}

py::object make_exception(const char* name, const char* module, py::handle base) {
    std::string dotted = std::string(module) + "." + name;
    return steal_or_throw(PyErr_NewException(dotted.c_str(), base.ptr(), nullptr));
}

std::string module_name(const py::module_& m) { return py::str(m.attr("__name__")); }

}  // namespace tvk
