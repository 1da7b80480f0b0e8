#include "assembler.hpp"
#include "docs.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "assembler_core.hpp"
#include "ostrane.hpp"

namespace tvk::assembler {

namespace {

// ---------------------------------------------------------------- helpers


// The class of merged probe delays that hold a delay holder (made at init,
// kept by the module).
PyObject* g_delay_sum = nullptr;
py::object borrow(py::handle h) { return py::reinterpret_borrow<py::object>(h); }

// A module global looked up at the moment of use, as Python code does.
py::object mod_attr(PyObject* name) { return module_global(reg().module_dict, name); }

py::object get_item(py::handle container, py::handle key) {
    return steal(PyObject_GetItem(container.ptr(), key.ptr()));
}
void set_item(py::handle container, py::handle key, py::handle value) {
    if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

py::object call(py::handle fn, std::initializer_list<py::handle> args) {
    PyObject* stack[8];
    size_t n = 0;
    for (auto a : args) stack[n++] = a.ptr();
    return steal(PyObject_Vectorcall(fn.ptr(), stack, n, nullptr));
}

bool not_equal(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_NE);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

py::object py_ll(long long v) { return steal(PyLong_FromLongLong(v)); }
py::object py_ssize(Py_ssize_t v) { return steal(PyLong_FromSsize_t(v)); }

// hasattr(): reading succeeds; only AttributeError means "absent" (which
// the interpreter's generic lookup tells without making the exception).
py::object optional_attr(py::handle obj, PyObject* name) {
    bool absent = false;
    if (py::object v = tvk::Instance(obj.ptr()).direct(name, absent)) return v;
    if (absent) return py::object();
    return lookup_attr(obj, name);
}

void list_append(py::handle list, py::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) < 0) throw py::error_already_set();
}
// list.append on an object the caller may have replaced.
void any_append(py::handle seq, py::handle item) {
    if (PyList_CheckExact(seq.ptr())) return list_append(seq, item);
    tvk::call_method(seq, TVK_NAME("append"), {item});
}

std::string text(py::handle obj) {
    py::object s = steal(PyObject_Str(obj.ptr()));
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw py::error_already_set();
    return std::string(p, static_cast<size_t>(n));
}
std::string repr_text(py::handle obj) {
    py::object s = steal(PyObject_Repr(obj.ptr()));
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw py::error_already_set();
    return std::string(p, static_cast<size_t>(n));
}

[[noreturn]] void raise_with(PyObject* exc_type, const std::string& msg) {
    py::object s = steal(PyUnicode_FromStringAndSize(msg.data(), static_cast<Py_ssize_t>(msg.size())));
    PyErr_SetObject(exc_type, s.ptr());
    throw py::error_already_set();
}
[[noreturn]] void raise_assembly(const std::string& msg) { raise_assembly_error(msg); }

// a, b, ... = seq with the interpreter's texts.
std::vector<py::object> unpack(py::handle seq, size_t n) {
    PyObject* it = PyObject_GetIter(seq.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = steal(it);
    std::vector<py::object> out;
    out.reserve(n);
    while (out.size() <= n) {
        PyObject* x = PyIter_Next(iter.ptr());
        if (!x) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        if (out.size() == n) {
            Py_DECREF(x);
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
            throw py::error_already_set();
        }
        out.push_back(steal(x));
    }
    if (out.size() < n) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                     out.size());
        throw py::error_already_set();
    }
    return out;
}

py::object tuple_of(std::initializer_list<py::handle> items) {
    py::object t = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (auto h : items) PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(h.ptr()));
    return t;
}

// Snapshot of any iterable, so encoders that touch the queue cannot make a
// walk run away.
py::object snapshot(py::handle iterable) { return steal(PySequence_Tuple(iterable.ptr())); }

py::object tag_of(py::handle rec) { return read_attr(rec, TVK_NAME("tag")); }
py::object fresh_tag(py::handle self) { return tvk::generate_tag_of(self, reg().tag_property); }

// A writable, C-contiguous view of an exported buffer, released on scope exit.
class BufferView {
public:
    // False (no error set) when the object exports no such buffer.
    bool acquire(py::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) <
            0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        return true;
    }
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    const Py_buffer& view() const { return view_; }
    // A one-dimensional array of native signed 16-bit integers.
    bool is_int16_vector() const {
        if (!held_ || view_.ndim != 1 || view_.itemsize != 2 || !view_.format) return false;
        const char* f = view_.format;
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        return std::strcmp(f, "h") == 0;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The records the assembler makes or tells apart.
struct Records {
    py::handle envelop, frame, capture, wait_trig, play_zero, p_wait, p_delay, p_jump, qnumber;
    static Records load() {
        const Registry& g = reg();
        return {g.QInsEnvelop, g.QInsFrame,     g.QInsCapture,    g.QInsWaitTrig, g.QInsPlayZero,
                g.QInsPWaitTrig, g.QInsPTrigDelay, g.QInsPJump, g.QNumber};
    }
};

py::object self_table(py::handle self, PyObject* name) { return read_attr(self, name); }

// ---------------------------------------------------------------- _DelaySum

// The delay of a merged probe-delay word whose run holds a delay holder: it
// keeps the run's delays and adds them when read, so a holder changed after
// loading is the one encoded, as for the drive delay's zero-play.
py::object delay_sum_init(const Call& c) {
    static const tvk::Signature sig("__init__", {"self", "parts"}, 2);
    auto b = tvk::bind<2>(sig, c);
    tvk::setattr(b[0], TVK_NAME("parts"), snapshot(b[1]));
    return py::none();
}

py::object delay_sum_value(py::handle self) {
    py::object parts = snapshot(read_attr(self, TVK_NAME("parts")));
    py::handle qnumber = reg().QNumber;
    py::object acc = py_ll(0);
    const Py_ssize_t n = PyTuple_GET_SIZE(parts.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle part = PyTuple_GET_ITEM(parts.ptr(), i);
        // A holder counts as the encoder would take it alone: its float().
        py::object v = is_instance(part, qnumber) ? steal(PyNumber_Float(part.ptr())) : borrow(part);
        acc = steal(PyNumber_Add(acc.ptr(), v.ptr()));
    }
    return acc;
}

// ---------------------------------------------------------------- construction

py::object asm_init(const Call& c) {
    static const tvk::Signature sig("__init__", {"self", "ch_map"}, 1, tvk::Signature::None,
                                    {py::handle(Py_None)});
    auto b = tvk::bind<2>(sig, c);
    py::handle self = b[0];
    py::object ch_map = borrow(b[1]);
    if (ch_map.is_none()) {
        ch_map = steal(PyDict_New());
        for (int p = 1; p <= 2; ++p) {
            py::object l = steal(PyList_New(0));
            for (int d = 0; d < 6; ++d) list_append(l, py_ll((p == 1 ? 3 : 11) + d));
            set_item(ch_map, py_ll(p), l);
        }
    }
    tvk::setattr(self, TVK_NAME("ch_map"), ch_map);

    // Probe channels in map order, each with its drive channels in list order.
    std::vector<std::pair<py::object, std::vector<py::object>>> chans;
    {
        py::object keys = steal(PySequence_List(ch_map.ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.ptr()); ++i) {
            py::object p = borrow(PyList_GET_ITEM(keys.ptr(), i));
            py::object drives = steal(PySequence_List(get_item(ch_map, p).ptr()));
            std::vector<py::object> ds;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(drives.ptr()); ++j)
                ds.push_back(borrow(PyList_GET_ITEM(drives.ptr(), j)));
            chans.emplace_back(std::move(p), std::move(ds));
        }
    }
    Records r = Records::load();
    auto per_probe = [&](PyObject* name, auto make) {
        py::object d = steal(PyDict_New());
        for (auto& ch : chans) set_item(d, ch.first, make(ch.first));
        tvk::setattr(self, name, d);
    };
    auto per_drive = [&](PyObject* name, auto make) {
        py::object d = steal(PyDict_New());
        for (auto& ch : chans)
            for (auto& drive : ch.second) set_item(d, drive, make(ch.first));
        tvk::setattr(self, name, d);
    };
    auto new_list = [](py::handle) { return steal(PyList_New(0)); };
    auto new_dict = [](py::handle) { return steal(PyDict_New()); };
    auto new_holder = [&](py::handle) { return call(r.qnumber, {}); };

    per_probe(TVK_NAME("ad_delay"), new_holder);
    per_drive(TVK_NAME("da_delay"), new_holder);
    per_probe(TVK_NAME("capture_count"), new_list);
    per_probe(TVK_NAME("capture_points"), new_list);
    per_drive(TVK_NAME("drive2probe"), [](py::handle p) { return borrow(p); });
    per_drive(TVK_NAME("raw_cmdq"), new_list);
    per_probe(TVK_NAME("probe_cmdq"), new_list);
    per_drive(TVK_NAME("drive_cmdq"), new_list);
    {
        py::object np = py::module_::import("numpy");
        py::object int16 = read_attr(np, TVK_NAME("int16"));
        py::object zeros = read_attr(np, TVK_NAME("zeros"));
        per_drive(TVK_NAME("envelop_cache"), [&](py::handle) {
            py::object size = steal(PyNumber_FloorDivide(config(TVK_NAME("envelope_cache")).ptr(),
                                                       py_ll(2).ptr()));
            py::object kw = steal(PyDict_New());
            set_item(kw, TVK_NAME("dtype"), int16);
            return steal(PyObject_Call(zeros.ptr(), tuple_of({size}).ptr(), kw.ptr()));
        });
    }
    per_drive(TVK_NAME("frame_symbol"), new_dict);
    per_drive(TVK_NAME("envelop_symbol"), new_dict);
    per_drive(TVK_NAME("drive_symbol"), new_dict);
    per_probe(TVK_NAME("probe_symbol"), new_dict);
    return py::none();
}

// ---------------------------------------------------------------- delays and statistics

py::object set_delay(const tvk::Signature& sig, const Call& c, PyObject* table) {
    auto b = tvk::bind<3>(sig, c);
    py::object holder = get_item(self_table(b[0], table), b[1]);
    tvk::setattr(holder, TVK_NAME("value"), b[2]);
    return py::none();
}
py::object set_drive_delay(const Call& c) {
    static const tvk::Signature sig("set_drive_delay", {"self", "ch_id", "delay"}, 3);
    return set_delay(sig, c, TVK_NAME("da_delay"));
}
py::object set_probe_delay(const Call& c) {
    static const tvk::Signature sig("set_probe_delay", {"self", "ch_id", "delay"}, 3);
    return set_delay(sig, c, TVK_NAME("ad_delay"));
}

// Calls fn(width) for every width of capture_points[probe_ch], segment by
// segment.
template <class F>
void each_width(py::handle self, py::handle probe_ch, F fn) {
    py::object segs = get_item(self_table(self, TVK_NAME("capture_points")), probe_ch);
    py::object it_segs = steal(PyObject_GetIter(segs.ptr()));
    while (PyObject* s = PyIter_Next(it_segs.ptr())) {
        py::object seg = steal(s);
        py::object it = steal(PyObject_GetIter(seg.ptr()));
        while (PyObject* w = PyIter_Next(it.ptr())) fn(steal(w));
        if (PyErr_Occurred()) throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

#define TVK_PROBE_STAT(fname)                                                  \
    static const tvk::Signature sig(fname, {"self", "probe_ch"}, 2);          \
    auto b = tvk::bind<2>(sig, c);                                             \
    py::handle self = b[0], probe_ch = b[1];

py::object probe_points(const Call& c) {
    TVK_PROBE_STAT("probe_points")
    py::object acc = py_ll(0);
    each_width(self, probe_ch, [&](py::object w) { acc = steal(PyNumber_Add(acc.ptr(), w.ptr())); });
    return acc;
}

py::object longest_points(const Call& c) {
    TVK_PROBE_STAT("longest_points")
    py::object best;
    each_width(self, probe_ch, [&](py::object w) {
        if (!best) {
            best = std::move(w);
            return;
        }
        int gt = PyObject_RichCompareBool(w.ptr(), best.ptr(), Py_GT);
        if (gt < 0) throw py::error_already_set();
        if (gt) best = std::move(w);
    });
    return best ? best : py_ll(0);
}

py::object probe_count(const Call& c) {
    TVK_PROBE_STAT("probe_count")
    py::object counts = get_item(self_table(self, TVK_NAME("capture_count")), probe_ch);
    py::object it = steal(PyObject_GetIter(counts.ptr()));
    py::object acc = py_ll(0);
    while (PyObject* x = PyIter_Next(it.ptr())) acc = steal(PyNumber_Add(acc.ptr(), steal(x).ptr()));
    if (PyErr_Occurred()) throw py::error_already_set();
    return acc;
}

py::object probe_list(const Call& c) {
    TVK_PROBE_STAT("probe_list")
    py::object out = steal(PyList_New(0));
    py::object zero = py_ll(0);
    each_width(self, probe_ch, [&](py::object w) {
        if (not_equal(w, zero)) list_append(out, w);
    });
    return out;
}

py::object trigger_count(const Call& c) {
    TVK_PROBE_STAT("trigger_count")
    py::object counts = get_item(self_table(self, TVK_NAME("capture_count")), probe_ch);
    Py_ssize_t n = PyObject_Length(counts.ptr());
    if (n < 0) throw py::error_already_set();
    return py_ssize(n - 1);
}
#undef TVK_PROBE_STAT

// ---------------------------------------------------------------- loading

py::object clear_drive_cache(const Call& c) {
    static const tvk::Signature sig("_clear_drive_cache", {"self", "drive_ch"}, 2);
    auto b = tvk::bind<2>(sig, c);
    py::handle self = b[0];
    py::object p = get_item(self_table(self, TVK_NAME("drive2probe")), b[1]);
    set_item(self_table(self, TVK_NAME("capture_count")), p, steal(PyList_New(0)));
    set_item(self_table(self, TVK_NAME("capture_points")), p, steal(PyList_New(0)));
    return py::none();
}

[[noreturn]] void raise_placement(EnvelopeLayout::Status st, const EnvelopeLayout& layout,
                                  const EnvelopePlace& at, py::handle env, py::handle ch_id) {
    const std::string who = "The envelope " + text(tag_of(env)) + " of OUT channel " + text(ch_id);
    switch (st) {
        case EnvelopeLayout::Status::Overflow:
            raise_with(PyExc_ValueError,
                       who + " needs bytes " + std::to_string(at.start) + " to " +
                           std::to_string(at.start + at.length) + " of the envelope area, which holds " +
                           std::to_string(layout.area_bytes()) + " bytes");
        case EnvelopeLayout::Status::OddLength:
            raise_with(PyExc_ValueError, who + " has a byte form of " + std::to_string(at.length) +
                                             " bytes, not whole 16-bit samples");
        default:
            raise_with(PyExc_ValueError, who + " of " + std::to_string(at.length) +
                                             " bytes cannot be placed at byte " + std::to_string(at.start) +
                                             " (envelope_step must give a whole, even number of bytes)");
    }
}

py::object extract_envelop(const Call& c) {
    static const tvk::Signature sig("extract_envelop", {"self", "ch_id", "cmdq"}, 3);
    auto b = tvk::bind<3>(sig, c);
    py::handle self = b[0], ch_id = b[1], cmdq = b[2];
    tvk::check_list(cmdq, "cmdq");
    Records r = Records::load();

    std::vector<py::object> envelopes;
    py::object result = steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cmdq.ptr()); ++i) {
        py::object item = borrow(PyList_GET_ITEM(cmdq.ptr(), i));
        if (is_instance(item, r.envelop))
            envelopes.push_back(std::move(item));
        else
            list_append(result, tvk::shallow_copy(item));
    }

    py::object cache = get_item(self_table(self, TVK_NAME("envelop_cache")), ch_id);
    py::object head_slice = steal(PySlice_New(py_ll(0).ptr(), py_ll(kEnvelopeHeadSamples).ptr(), nullptr));
    set_item(cache, head_slice, config(TVK_NAME("envelope_head")));

    py::object np = py::module_::import("numpy");
    py::object dtype = config(TVK_NAME("envelope_dtype"));
    BufferView buf;
    // Native 16-bit memory and samples: write in place; anything else goes
    // through the array library, which converts or refuses.
    const bool direct = dtype.ptr() == read_attr(np, TVK_NAME("int16")).ptr() && buf.acquire(cache) &&
                        buf.is_int16_vector();
    Py_ssize_t mem_samples = 0;
    auto* mem = static_cast<std::int16_t*>(direct ? buf.view().buf : nullptr);
    if (direct) {
        mem_samples = buf.view().shape[0];
        if (mem_samples > kEnvelopeHeadSamples)
            std::memset(mem + kEnvelopeHeadSamples, 0,
                        static_cast<size_t>(mem_samples - kEnvelopeHeadSamples) * sizeof(std::int16_t));
    } else {
        mem_samples = PyObject_Length(cache.ptr());
        if (mem_samples < 0) throw py::error_already_set();
        py::object rest = steal(PySlice_New(py_ll(kEnvelopeHeadSamples).ptr(), nullptr, nullptr));
        set_item(cache, rest, py_ll(0));
    }

    py::object align = mod_attr(TVK_NAME("_align_envelope_step"));
    py::object frombuffer = direct ? py::object() : read_attr(np, TVK_NAME("frombuffer"));
    EnvelopeLayout layout(mem_samples);
    py::object table = steal(PyDict_New());
    for (auto& env : envelopes) {
        py::object bytes = steal(PyObject_Bytes(env.ptr()));
        const Py_ssize_t len = PyBytes_GET_SIZE(bytes.ptr());
        py::object padded_obj = call(align, {py_ssize(len)});
        long long padded = PyLong_AsLongLong(padded_obj.ptr());
        if (padded == -1 && PyErr_Occurred()) throw py::error_already_set();
        EnvelopePlace at;
        auto st = layout.place(len, padded, at);
        if (st != EnvelopeLayout::Status::Ok) raise_placement(st, layout, at, env, ch_id);
        if (direct) {
            // The view stays valid: it keeps the array alive whatever the
            // byte form's code did to the assembler's tables.
            if (at.sample_count)
                std::memcpy(mem + at.first_sample, PyBytes_AS_STRING(bytes.ptr()),
                            static_cast<size_t>(at.sample_count) * sizeof(std::int16_t));
        } else {
            py::object kw = steal(PyDict_New());
            set_item(kw, TVK_NAME("dtype"), dtype);
            py::object samples =
                steal(PyObject_Call(frombuffer.ptr(), tuple_of({bytes}).ptr(), kw.ptr()));
            py::object dst = steal(PySlice_New(py_ll(at.first_sample).ptr(),
                                             py_ll(at.first_sample + at.sample_count).ptr(), nullptr));
            set_item(cache, dst, samples);
        }
        py::object place = steal(PySlice_New(py_ll(at.start).ptr(), py_ll(at.end).ptr(), py_ll(at.length).ptr()));
        tvk::setattr(env, TVK_NAME("envelop_slice"), place);
        set_item(table, tag_of(env), env);
    }
    return tuple_of({table, result});
}

py::object extract_frame(const Call& c) {
    static const tvk::Signature sig("extract_frame", {"cmdq"}, 1);
    auto b = tvk::bind<1>(sig, c);
    py::handle cmdq = b[0];
    tvk::check_list(cmdq, "cmdq");
    py::handle frame_cls = reg().QInsFrame;
    py::object table = steal(PyDict_New());
    long long n = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cmdq.ptr()); ++i) {
        py::object item = borrow(PyList_GET_ITEM(cmdq.ptr(), i));
        if (!is_instance(item, frame_cls)) continue;
        tvk::setattr(item, TVK_NAME("frame_idx"), py_ll(n++));
        set_item(table, tag_of(item), item);
    }
    return table;
}

// ---------------------------------------------------------------- linking

// ChainMap(frames, envelopes)[tag]: a null object when neither holds it.
py::object chained_lookup(py::handle frames, py::handle envelopes, py::handle tag) {
    for (py::handle m : {frames, envelopes}) {
        if (PyDict_CheckExact(m.ptr())) {  // no KeyError made for a miss
            PyObject* v = PyDict_GetItemWithError(m.ptr(), tag.ptr());
            if (v) return borrow(v);
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
        }
        PyObject* r = PyObject_GetItem(m.ptr(), tag.ptr());
        if (r) return py::reinterpret_steal<py::object>(r);
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
        PyErr_Clear();
    }
    return py::object();
}

void enter_last(py::handle table, py::handle queue) {
    Py_ssize_t n = PyList_GET_SIZE(queue.ptr());
    set_item(table, tag_of(PyList_GET_ITEM(queue.ptr(), n - 1)), py_ssize(n - 1));
}

void open_segment(py::handle counts, py::handle points) {
    any_append(counts, py_ll(0));
    any_append(points, steal(PyList_New(0)));
}

// The merged word of a run of probe delays: None when the run leaves none.
py::object merged_delay(py::handle self, const std::vector<py::object>& run, bool holder) {
    if (run.empty()) return py::none();
    py::object delay;
    if (holder) {
        py::object parts = steal(PyTuple_New(static_cast<Py_ssize_t>(run.size())));
        for (size_t i = 0; i < run.size(); ++i) PyTuple_SET_ITEM(parts.ptr(), i, Py_NewRef(run[i].ptr()));
        delay = call(g_delay_sum, {parts});
    } else {
        // Delays add as plain numbers from the integer 0; floats in double
        // arithmetic, which gives what the interpreter gives.
        bool floats = true;
        double sum = 0.0;
        for (const auto& d : run) {
            if (!PyFloat_CheckExact(d.ptr())) {
                floats = false;
                break;
            }
            sum += PyFloat_AS_DOUBLE(d.ptr());
        }
        if (floats) {
            if (sum == 0.0) return py::none();
            delay = steal(PyFloat_FromDouble(sum));
        } else {
            py::object zero = py_ll(0);
            delay = zero;
            for (const auto& d : run) delay = steal(PyNumber_Add(delay.ptr(), d.ptr()));
            if (!not_equal(delay, zero)) return py::none();
        }
    }
    return call(reg().QInsPTrigDelay, {fresh_tag(self), delay});
}

// Linking of one drive channel: the drive queue with its table, and the
// probe queue either with a delay word per drive record (what _link_wave
// returns) or merged as _optimize_probe_q merges it, the runs of delays then
// summed as they come and never made as words of their own.
class Linker {
public:
    Linker(py::handle self, py::handle drive_ch, bool merged) : self_(self), drive_ch_(drive_ch), merged_(merged) {}

    void run(py::handle cmdq) {
        Records r = Records::load();
        py::object frames = get_item(self_table(self_, TVK_NAME("frame_symbol")), drive_ch_);
        py::object envelopes = get_item(self_table(self_, TVK_NAME("envelop_symbol")), drive_ch_);
        dq = steal(PyList_New(0));
        pq = steal(PyList_New(0));
        dtab = steal(PyDict_New());
        ptab = steal(PyDict_New());

        py::object first = call(r.p_wait, {fresh_tag(self_)});
        word(first);
        if (!merged_) set_item(ptab, tag_of(first), py_ll(0));

        py::object p = get_item(self_table(self_, TVK_NAME("drive2probe")), drive_ch_);
        py::object da_holder = get_item(self_table(self_, TVK_NAME("da_delay")), drive_ch_);
        py::object ad_holder = get_item(self_table(self_, TVK_NAME("ad_delay")), p);
        py::object counts = get_item(self_table(self_, TVK_NAME("capture_count")), p);
        py::object points = get_item(self_table(self_, TVK_NAME("capture_points")), p);
        open_segment(counts, points);
        py::object minus_one = py_ll(-1), one = py_ll(1);

        py::object it = steal(PyObject_GetIter(cmdq.ptr()));
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            py::object rec = steal(raw);
            resolve(rec, TVK_NAME("frame_idx"), TVK_NAME("frame"), "frame", frames, envelopes);
            resolve(rec, TVK_NAME("envelop_slice"), TVK_NAME("envelop"), "envelop", frames, envelopes);
            if (is_instance(rec, r.capture)) {
                Py_ssize_t steps = PyObject_Length(rec.ptr());
                if (steps < 0) throw py::error_already_set();
                py::object width =
                    steal(PyNumber_Multiply(py_ssize(steps).ptr(), config(TVK_NAME("capture_step")).ptr()));
                list_append(dq, call(r.play_zero, {tag_of(rec), width}));
                tvk::setattr(rec, TVK_NAME("tag"), fresh_tag(self_));
                word(rec);
                py::object last = get_item(counts, minus_one);
                set_item(counts, minus_one, steal(PyNumber_Add(last.ptr(), one.ptr())));
                any_append(get_item(points, minus_one), width);
            } else if (is_instance(rec, r.wait_trig)) {
                open_segment(counts, points);
                list_append(dq, rec);
                word(call(r.p_wait, {fresh_tag(self_)}));
                enter_last(dtab, dq);
                if (!merged_) enter_last(ptab, pq);
                if (truth(da_holder)) list_append(dq, call(r.play_zero, {fresh_tag(self_), da_holder}));
                if (truth(ad_holder)) delay(ad_holder);
            } else {
                list_append(dq, rec);
                delay(read_attr(rec, TVK_NAME("overhead")));
            }
            enter_last(dtab, dq);
            if (!merged_) enter_last(ptab, pq);
        }
        if (PyErr_Occurred()) throw py::error_already_set();

        word(call(r.p_jump, {fresh_tag(self_), tag_of(first)}));
        if (!merged_) enter_last(ptab, pq);
    }

    py::object dq, pq, dtab, ptab;

private:
    // A record that has both `resolved` and `ref` takes `resolved` from the
    // frame or envelope record whose tag `ref` names.
    void resolve(py::handle rec, PyObject* resolved, PyObject* ref, const char* what, py::handle frames,
                 py::handle envelopes) {
        if (!optional_attr(rec, resolved)) return;
        py::object tag = optional_attr(rec, ref);
        if (!tag) return;
        py::object found = chained_lookup(frames, envelopes, tag);
        if (!found)
            raise_assembly(std::string("The ") + what + " tag required by instruction " + repr_text(rec) +
                           " does not exist in the instruction queue of channel " + text(drive_ch_));
        tvk::setattr(rec, resolved, read_attr(found, resolved));
    }

    // A probe word other than a delay; merged, the run before it goes first.
    void word(py::handle w) {
        if (merged_) {
            py::object d = merged_delay(self_, run_, holder_);
            run_.clear();
            holder_ = false;
            if (!d.is_none()) append_entered(d);
            append_entered(w);
            return;
        }
        list_append(pq, w);
    }
    void delay(py::object d) {
        if (merged_) {
            holder_ = holder_ || is_instance(d, reg().QNumber);
            run_.push_back(std::move(d));
            return;
        }
        list_append(pq, call(reg().QInsPTrigDelay, {fresh_tag(self_), d}));
    }
    void append_entered(py::handle w) {
        list_append(pq, w);
        enter_last(ptab, pq);
    }

    py::handle self_, drive_ch_;
    bool merged_;
    std::vector<py::object> run_;
    bool holder_ = false;
};

py::object link_wave(const Call& c) {
    static const tvk::Signature sig("_link_wave", {"self", "drive_ch", "cmdq"}, 3);
    auto b = tvk::bind<3>(sig, c);
    Linker l(b[0], b[1], false);
    l.run(b[2]);
    return tuple_of({l.dq, l.pq, l.dtab, l.ptab});
}

py::object optimize_drive_q(const Call& c) {
    static const tvk::Signature sig("_optimize_drive_q", {"self", "queue", "symbol"}, 3);
    auto b = tvk::bind<3>(sig, c);
    return tuple_of({b[1], b[2]});
}

py::object optimize_probe_q(const Call& c) {
    static const tvk::Signature sig("_optimize_probe_q", {"self", "queue"}, 2);
    auto b = tvk::bind<2>(sig, c);
    py::handle self = b[0];
    Records r = Records::load();
    py::object words = snapshot(b[1]);
    const Py_ssize_t n = PyTuple_GET_SIZE(words.ptr());
    py::object result = steal(PyList_New(0)), table = steal(PyDict_New());
    std::vector<py::object> run;
    bool holder = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle w = PyTuple_GET_ITEM(words.ptr(), i);
        if (is_instance(w, r.p_delay)) {
            run.push_back(read_attr(w, TVK_NAME("delay")));
            holder = holder || is_instance(run.back(), r.qnumber);
            continue;
        }
        py::object d = merged_delay(self, run, holder);
        run.clear();
        holder = false;
        if (!d.is_none()) {
            list_append(result, d);
            enter_last(table, result);
        }
        list_append(result, w);
        enter_last(table, result);
    }
    // A run at the very end keeps its time.
    py::object d = merged_delay(self, run, holder);
    if (!d.is_none()) {
        list_append(result, d);
        enter_last(table, result);
    }
    return tuple_of({result, table});
}

void resolve_jumps(py::handle queue, py::handle table) {
    py::object it = steal(PyObject_GetIter(queue.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object rec = steal(raw);
        if (!optional_attr(rec, TVK_NAME("ins_idx"))) continue;
        py::object target = optional_attr(rec, TVK_NAME("target"));
        if (!target) continue;
        tvk::setattr(rec, TVK_NAME("ins_idx"), get_item(table, target));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

py::object link_jump(const Call& c) {
    static const tvk::Signature sig("_link_jump",
                                    {"self", "drive_queue", "probe_queue", "drive_symbol", "probe_symbol"}, 5);
    auto b = tvk::bind<5>(sig, c);
    resolve_jumps(b[1], b[3]);
    resolve_jumps(b[2], b[4]);
    return tuple_of({b[1], b[2]});
}

// The four steps of linking and the tag source are all this module's own,
// so linking may run them as one pass.
bool own_linking(py::handle self) {
    static tvk::OwnSteps<5, tvk::NoExtra> gate({
        tvk::own_object(TVK_NAME("generate_tag"), reg().tag_property),
        tvk::own_method(TVK_NAME("_link_wave"), tvk::method<link_wave>().fn),
        tvk::own_method(TVK_NAME("_optimize_drive_q"), tvk::method<optimize_drive_q>().fn),
        tvk::own_method(TVK_NAME("_optimize_probe_q"), tvk::method<optimize_probe_q>().fn),
        tvk::own_method(TVK_NAME("_link_jump"), tvk::method<link_jump>().fn),
    });
    return gate.open(self.ptr()).has_value();
}

py::object divide_cmd(const Call& c) {
    static const tvk::Signature sig("divide_cmd", {"self", "ch_id", "cmdq"}, 3);
    auto b = tvk::bind<3>(sig, c);
    py::handle self = b[0];
    if (own_linking(self)) {
        Linker l(self, b[1], true);
        l.run(b[2]);
        resolve_jumps(l.dq, l.dtab);
        resolve_jumps(l.pq, l.ptab);
        return tuple_of({l.dq, l.pq, l.dtab, l.ptab});
    }
    auto linked = unpack(tvk::call_method(self, TVK_NAME("_link_wave"), {b[1], b[2]}), 4);
    auto drive = unpack(tvk::call_method(self, TVK_NAME("_optimize_drive_q"), {linked[0], linked[2]}), 2);
    auto probe = unpack(tvk::call_method(self, TVK_NAME("_optimize_probe_q"), {linked[1]}), 2);
    tvk::call_method(self, TVK_NAME("_link_jump"), {drive[0], probe[0], drive[1], probe[1]});
    return tuple_of({drive[0], probe[0], drive[1], probe[1]});
}

py::object set_chnl_cmdq(const Call& c) {
    static const tvk::Signature sig("set_chnl_cmdq", {"self", "ch_id", "cmdq"}, 3);
    auto b = tvk::bind<3>(sig, c);
    py::handle self = b[0], ch_id = b[1], cmdq = b[2];
    py::object d2p = self_table(self, TVK_NAME("drive2probe"));
    int known = PySequence_Contains(d2p.ptr(), ch_id.ptr());
    if (known < 0) throw py::error_already_set();
    if (!known) raise_assembly("OUT channel " + text(ch_id) + " does not exist");
    tvk::call_method(self, TVK_NAME("_clear_drive_cache"), {ch_id});
    set_item(self_table(self, TVK_NAME("raw_cmdq")), ch_id, cmdq);
    auto env = unpack(tvk::call_method(self, TVK_NAME("extract_envelop"), {ch_id, cmdq}), 2);
    set_item(self_table(self, TVK_NAME("envelop_symbol")), ch_id, env[0]);
    py::object frames = tvk::call_method(self, TVK_NAME("extract_frame"), {env[1]});
    set_item(self_table(self, TVK_NAME("frame_symbol")), ch_id, frames);
    auto linked = unpack(tvk::call_method(self, TVK_NAME("divide_cmd"), {ch_id, env[1]}), 4);
    py::object p = get_item(self_table(self, TVK_NAME("drive2probe")), ch_id);
    set_item(self_table(self, TVK_NAME("drive_cmdq")), ch_id, linked[0]);
    set_item(self_table(self, TVK_NAME("probe_cmdq")), p, linked[1]);
    set_item(self_table(self, TVK_NAME("drive_symbol")), ch_id, linked[2]);
    set_item(self_table(self, TVK_NAME("probe_symbol")), p, linked[3]);
    return py::none();
}

// ---------------------------------------------------------------- images

py::object np_call(py::handle np, PyObject* fn, std::initializer_list<py::handle> args, py::handle dtype) {
    py::object kw = steal(PyDict_New());
    set_item(kw, TVK_NAME("dtype"), dtype);
    return steal(PyObject_Call(read_attr(np, fn).ptr(), tuple_of(args).ptr(), kw.ptr()));
}

// Encodes a drive queue straight into its row; the row's size is the bound.
void write_drive_row(unsigned char* row, py::handle queue, py::handle drive_ch) {
    py::object recs = snapshot(queue);
    const Py_ssize_t n = PyTuple_GET_SIZE(recs.ptr());
    RowWriter w(row, static_cast<size_t>(kDriveRowBytes));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* rec = PyTuple_GET_ITEM(recs.ptr(), i);
        std::uint8_t word[words::kDriveBytes];
        bool fits;
        if (DirectWord d = direct_word(rec, false, word); d.size) {
            fits = w.append(word, d.size);
        } else {
            py::object bytes = steal(PyObject_Bytes(rec));
            fits = w.append(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
        }
        if (!fits)
            raise_with(PyExc_ValueError, "The drive queue of OUT channel " + text(drive_ch) + " holds " +
                                             std::to_string(n) + " records, more than its drive row of " +
                                             std::to_string(kDriveRowWords) + " words (" +
                                             std::to_string(kDriveRowBytes / 32) + " drive words) holds");
    }
    if (w.used() % 4 != 0)
        raise_with(PyExc_ValueError, "The drive queue of OUT channel " + text(drive_ch) + " encodes to " +
                                         std::to_string(w.used()) + " bytes, not whole 32-bit words");
}

// The probe words of a queue joined, as a bytes object.
py::object join_probe_words(py::handle queue) {
    py::object recs = snapshot(queue);
    const Py_ssize_t n = PyTuple_GET_SIZE(recs.ptr());
    std::string joined;
    joined.reserve(static_cast<size_t>(n) * words::kProbeBytes);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* rec = PyTuple_GET_ITEM(recs.ptr(), i);
        if (direct_probe_words(rec, joined)) continue;
        py::object part = steal(PyObject_Bytes(rec));
        joined.append(PyBytes_AS_STRING(part.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(part.ptr())));
    }
    return steal(PyBytes_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size())));
}

py::object assemble(const Call& c) {
    static const tvk::Signature sig("assemble", {"self"}, 1);
    auto b = tvk::bind<1>(sig, c);
    py::handle self = b[0];
    py::object np = py::module_::import("numpy");
    py::object u32 = read_attr(np, TVK_NAME("uint32"));
    py::object ch_map = self_table(self, TVK_NAME("ch_map"));
    py::object drive_cmdq = self_table(self, TVK_NAME("drive_cmdq"));
    py::object caches = self_table(self, TVK_NAME("envelop_cache"));
    py::object env_images = steal(PyDict_New()), drive_images = steal(PyDict_New());

    py::object items = snapshot(tvk::call_method(ch_map, TVK_NAME("items")));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.ptr()); ++k) {
        auto pl = unpack(PyTuple_GET_ITEM(items.ptr(), k), 2);
        py::object drives = snapshot(pl[1]);
        const Py_ssize_t n = PyTuple_GET_SIZE(drives.ptr());
        py::object shape = tuple_of({py_ssize(n), py_ll(kDriveRowWords)});
        py::object image = np_call(np, TVK_NAME("zeros"), {shape}, u32);
        BufferView buf;
        if (!buf.acquire(image) || buf.view().len != n * kDriveRowBytes)
            raise_with(PyExc_RuntimeError, "drive image is not a writable contiguous array");
        auto* base = static_cast<unsigned char*>(buf.view().buf);
        py::object rows = steal(PyList_New(0));
        for (Py_ssize_t i = 0; i < n; ++i) {
            py::handle d = PyTuple_GET_ITEM(drives.ptr(), i);
            write_drive_row(base + i * kDriveRowBytes, get_item(drive_cmdq, d), d);
            list_append(rows, get_item(caches, d));
        }
        set_item(drive_images, pl[0], image);
        py::object envs;
        if (n > 0) {
            envs = call(read_attr(np, TVK_NAME("stack")), {rows});
        } else {
            py::object size =
                steal(PyNumber_FloorDivide(config(TVK_NAME("envelope_cache")).ptr(), py_ll(2).ptr()));
            envs = np_call(np, TVK_NAME("zeros"), {tuple_of({py_ll(0), size})}, read_attr(np, TVK_NAME("int16")));
        }
        set_item(env_images, pl[0], envs);
    }

    py::object probe_images = steal(PyDict_New());
    py::object probe_cmdq = self_table(self, TVK_NAME("probe_cmdq"));
    py::object i32 = read_attr(np, TVK_NAME("int32"));
    py::object keys = snapshot(probe_cmdq);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(keys.ptr()); ++k) {
        py::handle p = PyTuple_GET_ITEM(keys.ptr(), k);
        py::object joined = join_probe_words(get_item(probe_cmdq, p));
        set_item(probe_images, p, np_call(np, TVK_NAME("frombuffer"), {joined}, i32));
    }
    return tuple_of({env_images, drive_images, probe_images});
}

}  // namespace

void register_assembler(py::module_& m) {
    
    py::object delay_sum = tvk::ClassBuilder("_DelaySum", kModule)
                               .base(reg().QNumber)
                               .method("__init__", tvk::method<delay_sum_init>())
                               .property("value", tvk::getter<delay_sum_value>())
                               .build();
    g_delay_sum = publish(m, "_DelaySum", std::move(delay_sum));

    py::object cls = tvk::ClassBuilder("Assembler", kModule)
                         .base(reg().GenTagMixin)
                         .docs(kAssemblerDocs)
                         .attr("__doc__", py::str("Links the command lists of drive channels and encodes "
                                                  "them into the memory images of their probe channels."))
                         .method("__init__", tvk::method<asm_init>())
                         .method("set_drive_delay", tvk::method<set_drive_delay>())
                         .method("set_probe_delay", tvk::method<set_probe_delay>())
                         .method("probe_points", tvk::method<probe_points>())
                         .method("longest_points", tvk::method<longest_points>())
                         .method("probe_count", tvk::method<probe_count>())
                         .method("probe_list", tvk::method<probe_list>())
                         .method("trigger_count", tvk::method<trigger_count>())
                         .method("set_chnl_cmdq", tvk::method<set_chnl_cmdq>())
                         .method("_clear_drive_cache", tvk::method<clear_drive_cache>())
                         .method("extract_envelop", tvk::method<extract_envelop>())
                         .staticmethod("extract_frame", tvk::method<extract_frame>())
                         .method("divide_cmd", tvk::method<divide_cmd>())
                         .method("_link_wave", tvk::method<link_wave>())
                         .method("_optimize_drive_q", tvk::method<optimize_drive_q>())
                         .method("_optimize_probe_q", tvk::method<optimize_probe_q>())
                         .method("_link_jump", tvk::method<link_jump>())
                         .method("assemble", tvk::method<assemble>())
                         .build();
    publish(m, "Assembler", std::move(cls));
}

}  // namespace tvk::assembler
