// Number conversions and struct-exact packing shared by every record.
#include <cmath>
#include <cstring>

#include "ostrane.hpp"

namespace tvk::assembler {

namespace {

py::object config_lookup(PyObject* key) {
    py::object cfg = global_config_obj();
    PyObject* gc = cfg.ptr();
    if (!PyDict_CheckExact(gc)) return steal(PyObject_GetItem(gc, key));
    PyObject* v = PyDict_GetItemWithError(gc, key);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

using insides::dict_version;

}  // namespace

py::object config(PyObject* key) {
    // One remembered value per key in use, good while neither the module's
    // binding of global_config nor that dict has changed (dict version tags;
    // the module dict holds the configuration dict while its tag holds).
    struct Item {
        PyObject* key = nullptr;
        std::uint64_t module_version = 0;
        PyObject* dict = nullptr;
        std::uint64_t dict_version = 0;
        PyObject* value = nullptr;
    };
    static Item items[16];
    PyObject* md = reg().module_dict;
    Item* slot = nullptr;
    for (Item& it : items) {
        if (it.key == key || !it.key) {
            slot = &it;
            break;
        }
    }
    if (slot && slot->key && slot->module_version == dict_version(md) &&
        dict_version(slot->dict) == slot->dict_version)
        return py::reinterpret_borrow<py::object>(slot->value);
    // The tags are taken before the lookup, so a change made while it runs
    // (a key's __eq__ may run code) is seen at the next read.
    const std::uint64_t mv = dict_version(md);
    PyObject* gc = PyDict_GetItemWithError(md, TVK_NAME("global_config"));
    if (!gc) PyErr_Clear();
    const std::uint64_t gv = gc && PyDict_CheckExact(gc) ? dict_version(gc) : 0;
    // Without readable tags (0) nothing is remembered.
    const bool keep = slot && mv && gv;
    py::object v = config_lookup(key);
    if (keep) *slot = {key, mv, gc, gv, v.ptr()};
    return v;
}

void raise_assembly_error(const std::string& message) {
    PyErr_SetString(reg().AssemblyError, message.c_str());
    throw py::error_already_set();
}

void raise_struct_error(const char* message) {
    PyErr_SetString(reg().struct_error, message);
    throw py::error_already_set();
}

double to_float(py::handle x) {
    PyObject* o = x.ptr();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    py::object f = steal(PyNumber_Float(o));
    return PyFloat_AS_DOUBLE(f.ptr());
}

// PyLong_FromDouble raises round()'s and int()'s own errors for NaN and
// infinities, so no non-finite value is ever cast in C++.
py::object round_int(double x) { return steal(PyLong_FromDouble(num::round_half_even(x))); }
py::object trunc_int(double x) { return steal(PyLong_FromDouble(x)); }

py::object num_div(py::handle a, py::handle b) { return steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
py::object num_mul(py::handle a, py::handle b) { return steal(PyNumber_Multiply(a.ptr(), b.ptr())); }
py::object num_sub(py::handle a, py::handle b) { return steal(PyNumber_Subtract(a.ptr(), b.ptr())); }

CmdItem mul_add_small(py::handle a, long k, long add) {
    std::int64_t v;
    if (small_int(a.ptr(), v) && v > -(1ll << 40) && v < (1ll << 40)) return CmdItem(v * k + add);
    py::object r = num_mul(a, py_int(k));
    if (add == 0) return r;
    return steal(PyNumber_Add(r.ptr(), py_int(add).ptr()));
}

namespace {

// A float, or an int that converts to a double exactly.
bool exact_double(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    std::int64_t v;
    if (!small_int(o, v) || v > (1ll << 53) || v < -(1ll << 53)) return false;
    out = static_cast<double>(v);
    return true;
}

CmdItem u32_word(py::object rounded, const char* what) {
    py::object idx = steal(PyNumber_Index(rounded.ptr()));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow || v < 0 || v > 0xFFFFFFFFll) {
        py::object text = steal(PyObject_Str(idx.ptr()));
        PyErr_Format(PyExc_OverflowError, "%s word %U does not fit 0 <= word <= 4294967295", what,
                     text.ptr());
        throw py::error_already_set();
    }
    return CmdItem(static_cast<std::int64_t>(v));
}

}  // namespace

CmdItem frequency_word(py::handle freq) {
    py::object rate = config(TVK_NAME("OUTSrate"));
    double f, r;
    if (exact_double(freq.ptr(), f) && exact_double(rate.ptr(), r) && r != 0.0) {
        double x = words::frequency_scaled(f, r);
        if (std::isfinite(x)) {
            double w = num::round_half_even(x);
            if (words::fits_u32(w)) return CmdItem(static_cast<std::int64_t>(w));
        }
        return u32_word(round_int(x), "frequency");
    }
    // Anything else (big ints, numpy scalars, a zero rate ...) exactly as the
    // interpreter computes round(freq / rate * 2**32).
    static PyObject* const scale = keep_new(PyLong_FromUnsignedLongLong(1ull << 32));
    py::object x = num_mul(num_div(freq, rate), scale);
    return u32_word(py_round(x), "frequency");
}

CmdItem phase_word(py::handle phase) {
    double p;
    double x;
    if (exact_double(phase.ptr(), p)) {
        x = p / M_PI / 2.0;
    } else {
        static PyObject* const pi = keep_new(PyFloat_FromDouble(M_PI));
        py::object q = num_div(num_div(phase, pi), py_int(2));
        x = PyFloat_AsDouble(q.ptr());
        if (x == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    }
    double f = std::fmod(std::fmod(x, 1.0) + 1.0, 1.0) * words::kWordScale;
    if (!std::isfinite(f)) return round_int(f);  // round()'s own error
    // f lies in [0, 2**32], so the rounded word is a plain integer.
    return CmdItem(static_cast<std::int64_t>(words::phase_wrap(num::round_half_even(f))));
}

// ---- packing --------------------------------------------------------------

std::uint64_t pack_item(PyObject* item, words::Field f) {
    py::object holder;
    PyObject* v = item;
    if (!PyLong_Check(v)) {
        if (!PyIndex_Check(v)) raise_struct_error("required argument is not an integer");
        holder = steal(PyNumber_Index(v));
        v = holder.ptr();
    }
    words::Item it;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) {
        it.in_i64 = false;
        it.negative = overflow < 0;
        if (!it.negative) {
            unsigned long long u = PyLong_AsUnsignedLongLong(v);
            if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                PyErr_Clear();
            } else {
                it.in_u64 = true;
                it.uvalue = u;
            }
        }
    } else {
        it.value = x;
    }
    if (const char* err = words::field_error(f, it)) raise_struct_error(err);
    return static_cast<std::uint64_t>(x);
}

CmdItem::CmdItem(py::object o) {
    std::int64_t v;
    if (small_int(o.ptr(), v))
        v_ = v;
    else
        o_ = std::move(o);
}

py::object CmdItem::object() const { return o_ ? o_ : steal(PyLong_FromLongLong(v_)); }

std::uint64_t CmdItem::packed_slow(words::Field f) const {
    if (o_) return pack_item(o_.ptr(), f);
    words::Item it;
    it.value = v_;
    if (const char* err = words::field_error(f, it)) raise_struct_error(err);
    return static_cast<std::uint64_t>(v_);
}

void encode_drive_items(const DriveItems& items, std::uint8_t* dst) {
    std::uint64_t v[words::kDriveItems];
    for (std::size_t i = 0; i < words::kDriveItems; ++i) v[i] = items[i].packed(words::kDriveFields[i]);
    words::write_drive(v, dst);  // only once every item passed its check
}

void encode_probe_items(const ProbeItems& items, std::uint8_t* dst) {
    std::array<std::uint64_t, words::kProbeItems> v{};
    // The packer sees the reversed list: the last item is converted first.
    for (std::size_t i = words::kProbeItems; i-- > 0;) v[i] = items[i].packed(words::Field::U16);
    auto out = words::encode_probe(v);
    std::memcpy(dst, out.data(), out.size());
}

namespace {
[[noreturn]] void raise_count(std::size_t expected, Py_ssize_t got) {
    PyErr_Format(reg().struct_error, "pack expected %zu items for packing (got %zd)", expected, got);
    throw py::error_already_set();
}
}  // namespace

namespace {
// Items of a list being packed: borrowed while every one is an exact int (no
// code runs while they are converted), else owned, since an item's
// __index__ may change the list under us.
template <std::size_t N>
struct PackItems {
    std::array<PyObject*, N> raw{};
    std::array<py::object, N> keep;
    explicit PackItems(PyObject* const* items) {
        bool plain = true;
        for (std::size_t i = 0; i < N; ++i) {
            raw[i] = items[i];
            plain = plain && PyLong_Check(items[i]);
        }
        if (!plain)
            for (std::size_t i = 0; i < N; ++i) keep[i] = py::reinterpret_borrow<py::object>(raw[i]);
    }
};

py::bytes bytes_of(const std::uint8_t* data, std::size_t n) {
    return py::reinterpret_steal<py::bytes>(
        steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(n)))
            .release());
}
}  // namespace

py::bytes drive_bytes(PyObject* const* items, Py_ssize_t n) {
    if (n != static_cast<Py_ssize_t>(words::kDrivePacked)) raise_count(words::kDrivePacked, n);
    PackItems<words::kDrivePacked> in(items);
    std::array<std::uint64_t, words::kDrivePacked> v{};
    for (std::size_t i = 0; i < words::kDrivePacked; ++i) v[i] = pack_item(in.raw[i], words::kDriveFields[i]);
    auto out = words::encode_drive(v);
    return bytes_of(out.data(), out.size());
}

py::bytes probe_bytes(PyObject* const* items, Py_ssize_t n) {
    if (n != static_cast<Py_ssize_t>(words::kProbeItems)) raise_count(words::kProbeItems, n);
    PackItems<words::kProbeItems> in(items);
    std::array<std::uint64_t, words::kProbeItems> v{};
    // The packer sees the reversed list: the last item is converted first.
    for (std::size_t i = words::kProbeItems; i-- > 0;) v[i] = pack_item(in.raw[i], words::Field::U16);
    auto out = words::encode_probe(v);
    return bytes_of(out.data(), out.size());
}

py::dict name_table(std::initializer_list<std::pair<PyObject*, long long>> items) {
    py::dict d;
    for (const auto& [name, value] : items) set_item(d, name, py_int(value));
    return d;
}

py::dict channel_flags() {
    return name_table({{TVK_NAME("all"), words::kFlagAll},
                       {TVK_NAME("ad"), words::kFlagProbe},
                       {TVK_NAME("da"), words::kFlagDrive}});
}

py::object post_init_ins_idx(const Call& c) { return post_init_fields(c, {{TVK_NAME("ins_idx"), py_int(0)}}); }

}  // namespace tvk::assembler
