// The label record QInsPlaceholder and the waveform handles: Wave, Frame and
// Envelope (each owning its current record) and Signal, the product of a
// Frame and an Envelope of the same queue.
#include "builder.hpp"
#include "docs.hpp"

namespace tvk::builder {

namespace {

py::object wave_init(const Call& c) {
    static const Signature sig("__init__", {"self", "ins_obj", "ins_id"}, 3);
    auto a = bind<3>(sig, c);
    check_exact_builtin(a[2], &PyDict_Type, "ins_id");
    setattr(a[0], TVK_NAME("instruction"), a[1]);
    return py::none();
}

py::object signal_init(const Call& c) {
    wave_init(c);
    py::handle self = c.args[0];
    setattr(self, TVK_NAME("frame"), py::none());
    setattr(self, TVK_NAME("envelope"), py::none());
    return py::none();
}

// Frame(ins_obj, ins_id, freq) and Envelope(ins_obj, ins_id, content): the
// index is checked (and not kept), then the tag is drawn and the value set
// through the property, which makes the first record.
template <bool IsFrame>
py::object handle_init(const Call& c) {
    static const Signature sig("__init__", {"self", "ins_obj", "ins_id", IsFrame ? "freq" : "content"}, 4);
    auto a = bind<4>(sig, c);
    py::handle self = a[0];
    to_int_arg(a[2], "ins_id");
    py::object value = IsFrame ? to_float_arg(a[3]) : borrow(a[3]);
    setattr(self, TVK_NAME("instruction"), a[1]);
    setattr(self, TVK_NAME("tag"), fresh_tag(self));
    setattr(self, IsFrame ? TVK_NAME("freq") : TVK_NAME("content"), value);
    return py::none();
}

// The frequency of a Frame or the content of an Envelope: stored unchanged,
// and each assignment gives the handle a new record under its tag.
template <bool IsFrame>
py::object value_get(py::handle self) {
    return getattr(self, TVK_NAME(IsFrame ? "_freq" : "_content"));
}

template <bool IsFrame>
void value_set(py::handle self, py::handle value) {
    static PyObject* const kw = make_kwnames({"tag", IsFrame ? "freq" : "envelop"});
    setattr(self, TVK_NAME(IsFrame ? "_freq" : "_content"), value);
    setattr(self, TVK_NAME("_ins"),
            new_record(TVK_NAME(IsFrame ? "QInsFrame" : "QInsEnvelop"), kw, {tag_of(self), value}));
}

py::object format_(const Call& c) {
    static const Signature sig("format", {"self"}, 1);
    auto a = bind<1>(sig, c);
    return getattr(a[0], TVK_NAME("_ins"));
}

py::object wave_repr(const Call& c) {
    static const Signature sig("__repr__", {"self"}, 1);
    auto a = bind<1>(sig, c);
    py::object queue = getattr(a[0], TVK_NAME("instruction"));
    return steal(PyUnicode_FromFormat("<%S::%S>", type_of(a[0]).ptr(), queue.ptr()));
}

// Frame * (Envelope | Signal) and Envelope * (Frame | Signal): a new Signal
// of the same queue. Anything else, or a partner of another queue, is refused.
template <bool FrameLeft>
py::object handle_mul(const Call& c) {
    static const Signature sig("__mul__", {"self", "other"}, 2);
    auto a = bind<2>(sig, c);
    py::handle self = a[0], other = a[1];
    py::object signal_cls = global(TVK_NAME("Signal"));
    py::object partner_cls = global(FrameLeft ? TVK_NAME("Envelope") : TVK_NAME("Frame"));
    const bool is_signal = is_instance(other, signal_cls);
    if (!is_signal && !is_instance(other, partner_cls)) {
        PyErr_Format(PyExc_ValueError, "%S%s%S%s", type_of(self).ptr(), "不能与", type_of(other).ptr(),
                     "做乘法运算");
        throw py::error_already_set();
    }
    py::object queue = getattr(self, TVK_NAME("instruction"));
    if (getattr(other, TVK_NAME("instruction")).ptr() != queue.ptr())
        raise_text(PyExc_ValueError,
                   FrameLeft ? "隶属于的instruction不同，不能直接相乘"
                             : "They belong to different instructions and cannot be directly multiplied");
    py::object ins_id = steal(PyDict_New());
    py::object product =
        steal(PyObject_CallFunctionObjArgs(signal_cls.ptr(), queue.ptr(), ins_id.ptr(), nullptr));
    if (FrameLeft) {
        setattr(product, TVK_NAME("frame"), self);
        setattr(product, TVK_NAME("envelope"),
                is_signal ? getattr(other, TVK_NAME("envelope")) : borrow(other));
    } else {
        setattr(product, TVK_NAME("frame"), is_signal ? getattr(other, TVK_NAME("frame")) : borrow(other));
        setattr(product, TVK_NAME("envelope"), self);
    }
    return product;
}

// Frame and Envelope: a handle that owns the record of its value.
template <bool IsFrame>
void register_owning_handle(py::module_& m, py::handle wave) {
    const char* name = IsFrame ? "Frame" : "Envelope";
    ClassBuilder b(name, kModule);
    if constexpr (IsFrame)
        b.docs(kFrameDocs);
    else
        b.docs(kEnvelopeDocs);
    publish(m, name,
            b.base(wave)
                .method("__init__", method<handle_init<IsFrame>>())
                .property(IsFrame ? "freq" : "content", getter<value_get<IsFrame>>(), setter<value_set<IsFrame>>())
                .method("__mul__", method<handle_mul<IsFrame>>())
                .method("format", method<format_>())
                .attr("__doc__", py::str(IsFrame ? "One carrier frame of a queue; owns its QInsFrame record."
                                                 : "One envelope of a queue; owns its QInsEnvelop record."))
                .build());
}

}  // namespace

void register_handles(py::module_& m) {
    Registry& r = reg();
    {
        ClassBuilder b("QInsPlaceholder", kModule);
        b.base(global(TVK_NAME("TVKCommand")))
            .attr("__doc__", py::str("A label: the place in a compiled list where a jump lands."));
        trust_dataclass_init(publish(m, "QInsPlaceholder", build_dataclass(b, {})));
    }
    py::handle base(r.GenTagMixin);
    py::object tag_enum =
        make_int_enum("Tag", kModule, "Wave.Tag", {{"none", 0}, {"frame", 1}, {"envelope", 2}, {"signal", 3}});
    py::handle wave = publish(m, "Wave",
                              ClassBuilder("Wave", kModule)
                                  .base(base)
                                  .docs(kWaveDocs)
                                  .attr("Tag", tag_enum)
                                  .method("__init__", method<wave_init>())
                                  .method("__repr__", method<wave_repr>())
                                  .attr("__doc__", py::str("A handle tied to the queue it belongs to."))
                                  .build());
    register_owning_handle<true>(m, wave);
    register_owning_handle<false>(m, wave);
    publish(m, "Signal",
            ClassBuilder("Signal", kModule)
                .base(wave)
                .docs(kSignalDocs)
                .method("__init__", method<signal_init>())
                .attr("__doc__", py::str("A Frame paired with an Envelope: what play_wave plays."))
                .build());
}

}  // namespace tvk::builder
