// The two record bases: TVKCommand (32-byte drive word) and _ProbeCommand
// (16-byte probe word). bytes(record) runs the record's own _check_attr,
// _pack_cmd and list2bytes, so a subclass (or an instance attribute) may
// replace any of them; when none is replaced, the word is packed straight
// from the record's fields.
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "ostrane.hpp"

namespace tvk::assembler {

namespace {

// A `_pack_cmd` entry with its packer; the word of a constant packer, made
// once and kept for the process.
template <class Packer>
struct Paired {
    RawFn entry;
    Packer packer;
    PyObject* constant;
};

// This module's own members, found again at encoding to take the direct
// path. The two list2bytes static methods are held for the process, so their
// addresses can never stand for another object.
struct Own {
    PyObject* drive_l2b = nullptr;    // TVKCommand.__dict__["list2bytes"]
    PyObject* probe_l2b = nullptr;    // _ProbeCommand.__dict__["list2bytes"]
    std::vector<Paired<DrivePacker>>* drive = new std::vector<Paired<DrivePacker>>();
    std::vector<Paired<ProbePacker>>* probe = new std::vector<Paired<ProbePacker>>();
};
Own& own() {
    static Own* o = new Own();
    return *o;
}

}  // namespace

PyObject* held_member(py::handle cls, const char* name) {
    PyObject* d = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, name);
    if (!d) throw std::logic_error(std::string("member missing: ") + name);
    return keep(d);
}

namespace {

template <class Packer>
const Paired<Packer>* find(const std::vector<Paired<Packer>>& table, RawFn fn) {
    if (!fn) return nullptr;
    for (const auto& p : table)
        if (p.entry == fn) return &p;
    return nullptr;
}

py::object check_attr(const Call& c) {
    self_only(c, "_check_attr");
    return py::none();
}

py::object record_bytes(const Call& c);

// How bytes() of a record is made: straight from a packer when the record
// leaves _check_attr, _pack_cmd and list2bytes to this module.
struct Packing {
    DrivePacker drive = nullptr;
    ProbePacker probe = nullptr;
    PyObject* constant = nullptr;  // the word, when the packer reads nothing
};

// The packer of the record's _pack_cmd, paired with the list2bytes of its side.
std::optional<Packing> packing(const std::array<Member, 3>& m) {
    const Own& o = own();
    PyObject* l2b = m[2].object;
    RawFn pack = m[1].entry.fn;
    if (l2b && l2b == o.drive_l2b) {
        if (auto* d = find(*o.drive, pack)) return Packing{d->packer, nullptr, d->constant};
    } else if (l2b && l2b == o.probe_l2b) {
        if (auto* d = find(*o.probe, pack)) return Packing{nullptr, d->packer, d->constant};
    }
    return std::nullopt;
}

OwnSteps<3, Packing>& word_steps() {
    static OwnSteps<3, Packing> gate({own_method(TVK_NAME("_check_attr"), method<check_attr>().fn),
                                      any_method(TVK_NAME("_pack_cmd")), any_member(TVK_NAME("list2bytes"))},
                                     packing);
    return gate;
}

// bytes() of the record is the record one (for callers outside it).
OwnSteps<1, NoExtra>& bytes_step() {
    static OwnSteps<1, NoExtra> gate({special(own_method(TVK_NAME("__bytes__"), method<record_bytes>().fn))});
    return gate;
}

py::object new_bytes(std::size_t n, std::uint8_t*& data) {
    py::object b = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(b.ptr()));
    return b;
}

py::object call0(py::handle f) { return steal(PyObject_CallNoArgs(f.ptr())); }
py::object call1(py::handle f, py::handle a) { return steal(PyObject_CallOneArg(f.ptr(), a.ptr())); }

py::object record_bytes(const Call& c) {
    py::handle self = self_only(c, "__bytes__");
    std::uint8_t word[words::kDriveBytes];
    DirectWord w = direct_word(self.ptr(), true, word);
    if (w.constant) return py::reinterpret_borrow<py::object>(w.constant);
    if (w.size) return steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(word), static_cast<Py_ssize_t>(w.size)));
    call0(read_attr(self, TVK_NAME("_check_attr")));
    py::object pack = read_attr(self, TVK_NAME("_pack_cmd"));
    py::object l2b = read_attr(self, TVK_NAME("list2bytes"));
    return call1(l2b, call0(pack));
}

void zeros(Self, DriveItems&) {}
void probe_zeros(Self, ProbeItems&) {}

py::object drive_list2bytes(const Call& c) {
    static const Signature sig("list2bytes", {"cmd"}, 1);
    PyObject* cmd = c.nargs == 1 && c.nkw() == 0 ? c.args[0] : bind<1>(sig, c).v[0];
    check_list(cmd, "cmd");
    Py_ssize_t n = PyList_GET_SIZE(cmd);
    // The reserved zeros go into the caller's list itself.
    if (PyList_SetSlice(cmd, n, n, reserved_zeros()) < 0) throw py::error_already_set();
    n = PyList_GET_SIZE(cmd);
    if (n != static_cast<Py_ssize_t>(words::kDrivePacked)) return drive_bytes(nullptr, n);
    return drive_bytes(PySequence_Fast_ITEMS(cmd), n);
}

py::object frequency_normalization32(const Call& c) {
    static const Signature sig("frequency_normalization32", {"freq"}, 1);
    auto a = bind<1>(sig, c);
    return steal(PyObject_CallOneArg(reg().np_uint32, frequency_word(a[0]).object().ptr()));
}

py::object phase_normalization32(const Call& c) {
    static const Signature sig("phase_normalization32", {"phase"}, 1);
    auto a = bind<1>(sig, c);
    return steal(PyObject_CallOneArg(reg().np_uint32, phase_word(a[0]).object().ptr()));
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

namespace {
// Adds a packer to its table; a constant packer's word is made here, once.
template <class Items, class Packer>
void pair(std::vector<Paired<Packer>>& table, RawFn entry, Packer p, bool constant, std::size_t size,
          void (*encode)(const Items&, std::uint8_t*)) {
    PyObject* word = nullptr;
    if (constant) {
        Items items;
        p(Instance(Py_None), items);
        std::uint8_t* data = nullptr;
        word = new_bytes(size, data).release().ptr();
        encode(items, data);
    }
    table.push_back({entry, p, word});
}
}  // namespace

void pair_drive_packer(RawFn entry, DrivePacker p, bool constant) {
    pair<DriveItems>(*own().drive, entry, p, constant, words::kDriveBytes, encode_drive_items);
}
void pair_probe_packer(RawFn entry, ProbePacker p, bool constant) {
    pair<ProbeItems>(*own().probe, entry, p, constant, words::kProbeBytes, encode_probe_items);
}

DirectWord direct_word(PyObject* rec, bool inside_bytes, std::uint8_t* dst) {
    auto path = word_steps().open(rec);
    if (!path || (!inside_bytes && !bytes_step().open_type(Py_TYPE(rec)))) return {};
    const Packing& p = *path;
    const std::size_t size = p.drive ? words::kDriveBytes : words::kProbeBytes;
    if (p.constant) {
        std::memcpy(dst, PyBytes_AS_STRING(p.constant), size);
        return {size, p.constant};
    }
    Instance in(rec);
    if (p.drive) {
        DriveItems items;
        p.drive(in, items);
        encode_drive_items(items, dst);
    } else {
        ProbeItems items;
        p.probe(in, items);
        encode_probe_items(items, dst);
    }
    return {size, nullptr};
}

py::object probe_list2bytes(const Call& c) {
    static const Signature sig("list2bytes", {"cmd"}, 1);
    PyObject* cmd = c.nargs == 1 && c.nkw() == 0 ? c.args[0] : bind<1>(sig, c).v[0];
    check_list(cmd, "cmd");
    Py_ssize_t n = PyList_GET_SIZE(cmd);
    if (n != static_cast<Py_ssize_t>(words::kProbeItems)) return probe_bytes(nullptr, n);
    return probe_bytes(PySequence_Fast_ITEMS(cmd), n);
}

void register_bases(py::module_& m) {
    Registry& r = reg();
    Own& o = own();
    py::handle str(reinterpret_cast<PyObject*>(&PyUnicode_Type));

    ClassBuilder drive("TVKCommand", kModule);
    drive.method("__bytes__", method<record_bytes>()).method("_check_attr", method<check_attr>());
    drive_packer<zeros, true>(drive)
        .property("overhead", getter<zero_overhead>(), "Output time of the command, seconds.")
        .staticmethod("list2bytes", method<drive_list2bytes>(),
                      "Append eight reserved zeros to the nine-item list and pack it into 32 bytes.")
        .staticmethod("frequency_normalization32", method<frequency_normalization32>(),
                      "Frequency in hertz as a 32-bit phase increment per output sample.")
        .staticmethod("phase_normalization32", method<phase_normalization32>(),
                      "Phase in radians as a 32-bit fraction of a turn.");
    r.TVKCommand = publish(m, "TVKCommand", build_dataclass(drive, {{"tag", str}}));
    o.drive_l2b = held_member(r.TVKCommand, "list2bytes");

    ClassBuilder probe("_ProbeCommand", kModule);
    probe.method("__bytes__", method<record_bytes>()).method("_check_attr", method<check_attr>());
    probe_packer<probe_zeros, true>(probe)
        .property("overhead", getter<probe_overhead>())
        .staticmethod("list2bytes", method<probe_list2bytes>(),
                      "Pack the eight-item list, last item first, into 16 bytes.");
    r.ProbeCommand = publish(m, "_ProbeCommand", build_dataclass(probe, {{"tag", str}}));
    o.probe_l2b = held_member(r.ProbeCommand, "list2bytes");
}

}  // namespace tvk::assembler
