// The two record bases: TVKCommand (32-byte drive word) and _ProbeCommand
// (16-byte probe word). bytes(record) runs the record's own _check_attr,
// _pack_cmd and list2bytes, so a subclass (or an instance attribute) may
// replace any of them.
#include <utility>
#include <vector>

#include "ostrane.hpp"

namespace tvk::ostrane {

namespace {

// This module's own member functions, found again at encoding to take the
// direct path. Raw pointers kept by the classes; the tables are leaked.
struct Own {
    PyObject* check_attr = nullptr;   // the no-op hook
    PyObject* drive_l2b = nullptr;    // TVKCommand.list2bytes
    PyObject* probe_l2b = nullptr;    // _ProbeCommand.list2bytes
    std::vector<std::pair<PyObject*, DrivePacker>>* drive = new std::vector<std::pair<PyObject*, DrivePacker>>();
    std::vector<std::pair<PyObject*, ProbePacker>>* probe = new std::vector<std::pair<PyObject*, ProbePacker>>();
};
Own& own() {
    static Own* o = new Own();
    return *o;
}

// The function behind cls.__dict__[name] (an instance method made by
// ClassBuilder, or a static method).
PyObject* class_function(py::handle cls, const char* name) {
    PyObject* d = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
    PyObject* f = PyDict_GetItemString(d, name);
    if (!f) throw std::logic_error(std::string("member missing: ") + name);
    if (PyInstanceMethod_Check(f)) return PyInstanceMethod_GET_FUNCTION(f);
    if (Py_IS_TYPE(f, &PyStaticMethod_Type)) {
        py::object inner = steal(PyObject_GetAttrString(f, "__func__"));
        return inner.ptr();  // kept alive by the static method
    }
    return f;
}

// The function of `bound` when it is one of ours bound to `self`.
PyObject* own_function(py::handle bound, py::handle self) {
    if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_SELF(bound.ptr()) != self.ptr()) return nullptr;
    return PyMethod_GET_FUNCTION(bound.ptr());
}

template <class Packer>
Packer find(const std::vector<std::pair<PyObject*, Packer>>& table, PyObject* fn) {
    if (!fn) return nullptr;
    for (const auto& [f, p] : table)
        if (f == fn) return p;
    return nullptr;
}

py::object call0(py::handle f) { return steal(PyObject_CallNoArgs(f.ptr())); }
py::object call1(py::handle f, py::handle a) { return steal(PyObject_CallOneArg(f.ptr(), a.ptr())); }

py::object record_bytes(const Call& c) {
    static const Signature sig("__bytes__", {"self"}, 1);
    auto a = bind<1>(sig, c);
    py::handle self = a[0];
    Own& o = own();
    py::object check = getattr(self, TVK_NAME("_check_attr"));
    if (own_function(check, self) != o.check_attr) call0(check);
    py::object pack = getattr(self, TVK_NAME("_pack_cmd"));
    py::object l2b = getattr(self, TVK_NAME("list2bytes"));
    PyObject* pack_fn = own_function(pack, self);
    if (l2b.ptr() == o.drive_l2b) {
        if (DrivePacker p = find(*o.drive, pack_fn)) {
            DriveItems items;
            p(self, items);
            std::array<PyObject*, words::kDrivePacked> raw{};
            PyObject* zero = PyTuple_GET_ITEM(reserved_zeros(), 0);
            for (std::size_t i = 0; i < words::kDrivePacked; ++i) raw[i] = i < items.size() ? items[i].ptr() : zero;
            return drive_bytes(raw.data(), static_cast<Py_ssize_t>(raw.size()));
        }
    } else if (l2b.ptr() == o.probe_l2b) {
        if (ProbePacker p = find(*o.probe, pack_fn)) {
            ProbeItems items;
            p(self, items);
            std::array<PyObject*, words::kProbeItems> raw{};
            for (std::size_t i = 0; i < items.size(); ++i) raw[i] = items[i].ptr();
            return probe_bytes(raw.data(), static_cast<Py_ssize_t>(raw.size()));
        }
    }
    return call1(l2b, call0(pack));
}

py::object check_attr(const Call& c) {
    static const Signature sig("_check_attr", {"self"}, 1);
    bind<1>(sig, c);
    return py::none();
}

void zeros(py::handle, DriveItems& out) {
    for (auto& it : out) it = py_int(0);
}
void probe_zeros(py::handle, ProbeItems& out) {
    for (auto& it : out) it = py_int(0);
}

py::object drive_list2bytes(const Call& c) {
    static const Signature sig("list2bytes", {"cmd"}, 1);
    auto a = bind<1>(sig, c);
    check_list(a[0], "cmd");
    PyObject* cmd = a[0].ptr();
    Py_ssize_t n = PyList_GET_SIZE(cmd);
    // The reserved zeros go into the caller's list itself.
    if (PyList_SetSlice(cmd, n, n, reserved_zeros()) < 0) throw py::error_already_set();
    n = PyList_GET_SIZE(cmd);
    if (n != static_cast<Py_ssize_t>(words::kDrivePacked)) return drive_bytes(nullptr, n);
    // Own references: an item's __index__ may change the list under us.
    std::array<py::object, words::kDrivePacked> keep;
    std::array<PyObject*, words::kDrivePacked> raw{};
    for (std::size_t i = 0; i < words::kDrivePacked; ++i) {
        keep[i] = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(cmd, static_cast<Py_ssize_t>(i)));
        raw[i] = keep[i].ptr();
    }
    return drive_bytes(raw.data(), n);
}

py::object frequency_normalization32(const Call& c) {
    static const Signature sig("frequency_normalization32", {"freq"}, 1);
    auto a = bind<1>(sig, c);
    return steal(PyObject_CallOneArg(reg().np_uint32, frequency_word(a[0]).ptr()));
}

py::object phase_normalization32(const Call& c) {
    static const Signature sig("phase_normalization32", {"phase"}, 1);
    auto a = bind<1>(sig, c);
    return steal(PyObject_CallOneArg(reg().np_uint32, phase_word(a[0]).ptr()));
}

py::object zero_overhead(py::handle) { return steal(PyFloat_FromDouble(0.0)); }
py::object probe_overhead(py::handle) { return steal(PyFloat_FromDouble(words::kProbeDelayStep)); }

}  // namespace

PyObject* reserved_zeros() {
    // A tuple of eight zeros, made once and kept for the process.
    static PyObject* const t = [] {
        PyObject* z = PyTuple_New(8);
        if (!z) throw py::error_already_set();
        for (Py_ssize_t i = 0; i < 8; ++i) PyTuple_SET_ITEM(z, i, PyLong_FromLong(0));
        return z;
    }();
    return t;
}

void pair_drive_packer(py::handle cls, DrivePacker p) {
    own().drive->emplace_back(class_function(cls, "_pack_cmd"), p);
}
void pair_probe_packer(py::handle cls, ProbePacker p) {
    own().probe->emplace_back(class_function(cls, "_pack_cmd"), p);
}

py::object probe_list2bytes(const Call& c) {
    static const Signature sig("list2bytes", {"cmd"}, 1);
    auto a = bind<1>(sig, c);
    check_list(a[0], "cmd");
    PyObject* cmd = a[0].ptr();
    Py_ssize_t n = PyList_GET_SIZE(cmd);
    if (n != static_cast<Py_ssize_t>(words::kProbeItems)) return probe_bytes(nullptr, n);
    std::array<py::object, words::kProbeItems> keep;
    std::array<PyObject*, words::kProbeItems> raw{};
    for (std::size_t i = 0; i < words::kProbeItems; ++i) {
        keep[i] = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(cmd, static_cast<Py_ssize_t>(i)));
        raw[i] = keep[i].ptr();
    }
    return probe_bytes(raw.data(), n);
}

void register_bases(py::module_& m) {
    Registry& r = reg();
    Own& o = own();
    py::handle str(reinterpret_cast<PyObject*>(&PyUnicode_Type));

    ClassBuilder drive("TVKCommand", kModule);
    drive.method("__bytes__", method<record_bytes>())
        .method("_check_attr", method<check_attr>())
        .method("_pack_cmd", method<drive_pack_cmd<zeros>>())
        .property("overhead", getter<zero_overhead>(), "Output time of the command, seconds.")
        .staticmethod("list2bytes", method<drive_list2bytes>(),
                      "Append eight reserved zeros to the nine-item list and pack it into 32 bytes.")
        .staticmethod("frequency_normalization32", method<frequency_normalization32>(),
                      "Frequency in hertz as a 32-bit phase increment per output sample.")
        .staticmethod("phase_normalization32", method<phase_normalization32>(),
                      "Phase in radians as a 32-bit fraction of a turn.");
    r.TVKCommand = publish(m, "TVKCommand", build_dataclass(drive, {{"tag", str}}));
    o.check_attr = class_function(r.TVKCommand, "_check_attr");
    o.drive_l2b = class_function(r.TVKCommand, "list2bytes");
    pair_drive_packer(r.TVKCommand, zeros);

    ClassBuilder probe("_ProbeCommand", kModule);
    probe.method("__bytes__", method<record_bytes>())
        .method("_check_attr", method<check_attr>())
        .method("_pack_cmd", method<probe_pack_cmd<probe_zeros>>())
        .property("overhead", getter<probe_overhead>())
        .staticmethod("list2bytes", method<probe_list2bytes>(),
                      "Pack the eight-item list, last item first, into 16 bytes.");
    r.ProbeCommand = publish(m, "_ProbeCommand", build_dataclass(probe, {{"tag", str}}));
    o.probe_l2b = class_function(r.ProbeCommand, "list2bytes");
    pair_probe_packer(r.ProbeCommand, probe_zeros);
}

}  // namespace tvk::ostrane
