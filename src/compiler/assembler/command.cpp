// The two record bases: TVKCommand (32-byte drive word) and _ProbeCommand
// (16-byte probe word). bytes(record) runs the record's own _check_attr,
// _pack_cmd and list2bytes, so a subclass may replace any of them.
#include "ostrane.hpp"

namespace tvk::ostrane {

namespace {

py::object record_bytes(const Call& c) {
    static const Signature sig("__bytes__", {"self"}, 1);
    auto a = bind<1>(sig, c);
    call_method(a[0], TVK_NAME("_check_attr"));
    py::object items = call_method(a[0], TVK_NAME("_pack_cmd"));
    return call_method(a[0], TVK_NAME("list2bytes"), {items});
}

py::object check_attr(const Call& c) {
    static const Signature sig("_check_attr", {"self"}, 1);
    bind<1>(sig, c);
    return py::none();
}

template <std::size_t N>
py::object zeros_pack_cmd(const Call& c) {
    static const Signature sig("_pack_cmd", {"self"}, 1);
    bind<1>(sig, c);
    std::array<py::object, N> items;
    for (auto& it : items) it = small_int(0);
    return items_to_list(items.data(), N);
}

py::object drive_list2bytes(const Call& c) {
    static const Signature sig("list2bytes", {"cmd"}, 1);
    auto a = bind<1>(sig, c);
    check_list(a[0], "cmd");
    PyObject* cmd = a[0].ptr();
    PyObject* zero = small_int(0).release().ptr();
    for (int i = 0; i < 8; ++i) {
        if (PyList_Append(cmd, zero) < 0) {
            Py_DECREF(zero);
            throw py::error_already_set();
        }
    }
    Py_DECREF(zero);
    Py_ssize_t n = PyList_GET_SIZE(cmd);
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
    py::handle str(reinterpret_cast<PyObject*>(&PyUnicode_Type));

    ClassBuilder drive("TVKCommand", kModule);
    drive.method("__bytes__", method<record_bytes>())
        .method("_check_attr", method<check_attr>())
        .method("_pack_cmd", method<zeros_pack_cmd<words::kDriveItems>>())
        .property("overhead", getter<zero_overhead>(), "Output time of the command, seconds.")
        .staticmethod("list2bytes", method<drive_list2bytes>(),
                      "Append eight reserved zeros to the nine-item list and pack it into 32 bytes.")
        .staticmethod("frequency_normalization32", method<frequency_normalization32>(),
                      "Frequency in hertz as a 32-bit phase increment per output sample.")
        .staticmethod("phase_normalization32", method<phase_normalization32>(),
                      "Phase in radians as a 32-bit fraction of a turn.");
    r.TVKCommand = publish(m, "TVKCommand", build_dataclass(drive, {{"tag", str}}));

    ClassBuilder probe("_ProbeCommand", kModule);
    probe.method("__bytes__", method<record_bytes>())
        .method("_check_attr", method<check_attr>())
        .method("_pack_cmd", method<zeros_pack_cmd<words::kProbeItems>>())
        .property("overhead", getter<probe_overhead>())
        .staticmethod("list2bytes", method<probe_list2bytes>(),
                      "Pack the eight-item list, last item first, into 16 bytes.");
    r.ProbeCommand = publish(m, "_ProbeCommand", build_dataclass(probe, {{"tag", str}}));
}

}  // namespace tvk::ostrane
