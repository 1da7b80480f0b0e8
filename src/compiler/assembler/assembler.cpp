// The Assembler: its tables per channel, the delays, the capture
// statistics, and loading a drive channel's commands (envelopes into the
// channel's envelope memory, frames numbered) before linking (linking.cpp)
// and the memory images (images.cpp).
#include "assembler.hpp"
#include "docs.hpp"

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <vector>

#include "assembler_core.hpp"
#include "assembler_parts.hpp"
#include "common/buffer.hpp"

namespace tvk::assembler {

namespace {

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
            for (int d = 0; d < 6; ++d) append(l, py_int((p == 1 ? 3 : 11) + d));
            set_item(ch_map, py_int(p), l);
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
        per_drive(TVK_NAME("envelop_cache"),
                  [&](py::handle) { return with_dtype(zeros, {envelope_samples()}, int16); });
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
    py::object holder = get_item(read_attr(b[0], table), b[1]);
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
    py::object segs = get_item(read_attr(self, TVK_NAME("capture_points")), probe_ch);
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
    py::object acc = py_int(0);
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
        if (compare(w, best, Py_GT)) best = std::move(w);
    });
    return best ? best : py_int(0);
}

py::object probe_count(const Call& c) {
    TVK_PROBE_STAT("probe_count")
    py::object counts = get_item(read_attr(self, TVK_NAME("capture_count")), probe_ch);
    py::object it = steal(PyObject_GetIter(counts.ptr()));
    py::object acc = py_int(0);
    while (PyObject* x = PyIter_Next(it.ptr())) acc = steal(PyNumber_Add(acc.ptr(), steal(x).ptr()));
    if (PyErr_Occurred()) throw py::error_already_set();
    return acc;
}

py::object probe_list(const Call& c) {
    TVK_PROBE_STAT("probe_list")
    py::object out = steal(PyList_New(0));
    py::object zero = py_int(0);
    each_width(self, probe_ch, [&](py::object w) {
        if (compare(w, zero, Py_NE)) append(out, w);
    });
    return out;
}

py::object trigger_count(const Call& c) {
    TVK_PROBE_STAT("trigger_count")
    py::object counts = get_item(read_attr(self, TVK_NAME("capture_count")), probe_ch);
    Py_ssize_t n = PyObject_Length(counts.ptr());
    if (n < 0) throw py::error_already_set();
    return py_int(n - 1);
}
#undef TVK_PROBE_STAT

// ---------------------------------------------------------------- loading

py::object clear_drive_cache(const Call& c) {
    static const tvk::Signature sig("_clear_drive_cache", {"self", "drive_ch"}, 2);
    auto b = tvk::bind<2>(sig, c);
    py::handle self = b[0];
    py::object p = get_item(read_attr(self, TVK_NAME("drive2probe")), b[1]);
    set_item(read_attr(self, TVK_NAME("capture_count")), p, steal(PyList_New(0)));
    set_item(read_attr(self, TVK_NAME("capture_points")), p, steal(PyList_New(0)));
    return py::none();
}

[[noreturn]] void raise_placement(EnvelopeLayout::Status st, const EnvelopeLayout& layout,
                                  const EnvelopePlace& at, py::handle env, py::handle ch_id) {
    const std::string who = "The envelope " + str_text(tag_of(env)) + " of OUT channel " + str_text(ch_id);
    switch (st) {
        case EnvelopeLayout::Status::Overflow:
            raise_error(PyExc_ValueError,
                        who + " needs bytes " + std::to_string(at.start) + " to " +
                            std::to_string(at.start + at.length) + " of the envelope area, which holds " +
                            std::to_string(layout.area_bytes()) + " bytes");
        case EnvelopeLayout::Status::OddLength:
            raise_error(PyExc_ValueError, who + " has a byte form of " + std::to_string(at.length) +
                                              " bytes, not whole 16-bit samples");
        default:
            raise_error(PyExc_ValueError, who + " of " + std::to_string(at.length) +
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
            append(result, tvk::shallow_copy(item));
    }

    py::object cache = get_item(read_attr(self, TVK_NAME("envelop_cache")), ch_id);
    py::object head_slice = steal(PySlice_New(py_int(0).ptr(), py_int(kEnvelopeHeadSamples).ptr(), nullptr));
    set_item(cache, head_slice, config(TVK_NAME("envelope_head")));

    py::object np = py::module_::import("numpy");
    py::object dtype = config(TVK_NAME("envelope_dtype"));
    BufferView buf;
    // Native 16-bit memory and samples: write in place; anything else goes
    // through the array library, which converts or refuses.
    const bool direct = dtype.ptr() == read_attr(np, TVK_NAME("int16")).ptr() && buf.acquire_writable(cache) &&
                        buf.is_vector_of("h", 2);
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
        py::object rest = steal(PySlice_New(py_int(kEnvelopeHeadSamples).ptr(), nullptr, nullptr));
        set_item(cache, rest, py_int(0));
    }

    py::object align = module_global(reg().module_dict, TVK_NAME("_align_envelope_step"));
    py::object frombuffer = direct ? py::object() : read_attr(np, TVK_NAME("frombuffer"));
    EnvelopeLayout layout(mem_samples);
    py::object table = steal(PyDict_New());
    for (auto& env : envelopes) {
        py::object bytes = steal(PyObject_Bytes(env.ptr()));
        const Py_ssize_t len = PyBytes_GET_SIZE(bytes.ptr());
        py::object padded_obj = call(align, {py_int(len)});
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
            py::object samples = with_dtype(frombuffer, {bytes}, dtype);
            py::object dst = steal(PySlice_New(py_int(at.first_sample).ptr(),
                                             py_int(at.first_sample + at.sample_count).ptr(), nullptr));
            set_item(cache, dst, samples);
        }
        py::object place = steal(PySlice_New(py_int(at.start).ptr(), py_int(at.end).ptr(), py_int(at.length).ptr()));
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
        tvk::setattr(item, TVK_NAME("frame_idx"), py_int(n++));
        set_item(table, tag_of(item), item);
    }
    return table;
}

py::object set_chnl_cmdq(const Call& c) {
    static const tvk::Signature sig("set_chnl_cmdq", {"self", "ch_id", "cmdq"}, 3);
    auto b = tvk::bind<3>(sig, c);
    py::handle self = b[0], ch_id = b[1], cmdq = b[2];
    py::object d2p = read_attr(self, TVK_NAME("drive2probe"));
    int known = PySequence_Contains(d2p.ptr(), ch_id.ptr());
    if (known < 0) throw py::error_already_set();
    if (!known) raise_assembly_error("OUT channel " + str_text(ch_id) + " does not exist");
    tvk::call_method(self, TVK_NAME("_clear_drive_cache"), {ch_id});
    set_item(read_attr(self, TVK_NAME("raw_cmdq")), ch_id, cmdq);
    auto env = unpack<2>(tvk::call_method(self, TVK_NAME("extract_envelop"), {ch_id, cmdq}));
    set_item(read_attr(self, TVK_NAME("envelop_symbol")), ch_id, env[0]);
    py::object frames = tvk::call_method(self, TVK_NAME("extract_frame"), {env[1]});
    set_item(read_attr(self, TVK_NAME("frame_symbol")), ch_id, frames);
    auto linked = unpack<4>(tvk::call_method(self, TVK_NAME("divide_cmd"), {ch_id, env[1]}));
    py::object p = get_item(read_attr(self, TVK_NAME("drive2probe")), ch_id);
    set_item(read_attr(self, TVK_NAME("drive_cmdq")), ch_id, linked[0]);
    set_item(read_attr(self, TVK_NAME("probe_cmdq")), p, linked[1]);
    set_item(read_attr(self, TVK_NAME("drive_symbol")), ch_id, linked[2]);
    set_item(read_attr(self, TVK_NAME("probe_symbol")), p, linked[3]);
    return py::none();
}

}  // namespace

void register_assembler(py::module_& m) {
    
    py::object delay_sum = tvk::ClassBuilder("_DelaySum", kModule)
                               .base(reg().QNumber)
                               .method("__init__", tvk::method<delay_sum_init>())
                               .property("value", tvk::getter<delay_sum_value>())
                               .build();
    g_delay_sum = publish(m, "_DelaySum", std::move(delay_sum));

    tvk::ClassBuilder b("Assembler", kModule);
    b.base(reg().GenTagMixin)
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
        .staticmethod("extract_frame", tvk::method<extract_frame>());
    add_linking_methods(b);  // divide_cmd and the four steps of linking
    py::object cls = b.method("assemble", tvk::method<assemble>()).build();
    publish(m, "Assembler", std::move(cls));
}

}  // namespace tvk::assembler
