// The normal translator: data items out of the list, the rest flattened,
// numbered, its jumps resolved and rendered as the program text.
#include <cstring>
#include <pybind11/cast.h>

#include "common/count.hpp"
#include "common/fields.hpp"
#include "common/mapping.hpp"
#include "common/text.hpp"
#include "text_core.hpp"
#include "translate.hpp"

namespace tvk::translate {

namespace {

// ---- extraction ----------------------------------------------------------

// (value of the last instruction of class `cat`, the other instructions)
py::object extract(py::handle ir_list, Cat cat, PyObject* field) {
    py::object value = py::list();
    py::list rest;
    for_each(ir_list, [&](py::handle ir) {
        if (is(ir, cat))
            value = getattr(ir, field);
        else
            append(rest, ir);
    });
    return py::make_tuple(value, rest);
}

template <const char* Name, Cat C, const char* Field>
py::object get_item(const Call& c) {
    static const Signature sig(Name, {"self", "ir_list"}, 2);
    auto b = bind<2>(sig, c);
    return extract(b[1], C, TVK_NAME(Field));
}

constexpr char kGetWaveform[] = "get_waveform";
constexpr char kGetFreqlist[] = "get_freqlist";
constexpr char kGetDemodulation[] = "get_demodulation";
constexpr char kWave[] = "wave";
constexpr char kFreqList[] = "freq_list";

py::object get_envelope(const Call& c) {
    static const Signature sig("get_envelope", {"self", "ir_list"}, 2);
    auto b = bind<2>(sig, c);
    static PyObject* const one = keep_new(PyLong_FromLong(1));
    Count start;
    py::list arrays, rest;
    for_each(b[1], [&](py::handle ir) {
        if (!is(ir, kEnvelope)) {
            append(rest, ir);
            return;
        }
        Py_ssize_t n = PyObject_Length(ir.ptr());
        if (n < 0) throw py::error_already_set();
        const Count stop = start + Count(n);
        setattr(ir, TVK_NAME("envelop_slice"), steal(PySlice_New(start.object().ptr(), stop.object().ptr(), one)));
        append(arrays, getattr(ir, TVK_NAME("envelope")));
        start = stop;
    });
    // The envelopes' own bytes back to back (the envelope rule has padded each
    // to whole blocks, so these places are the plays' places), read as 64-bit
    // floats.
    std::string joined;
    for (py::handle arr : arrays) {
        py::object raw = steal(PyObject_Bytes(arr.ptr()));
        joined.append(PyBytes_AS_STRING(raw.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(raw.ptr())));
    }
    py::object data = steal(PyBytes_FromStringAndSize(joined.data(), static_cast<Py_ssize_t>(joined.size())));
    py::object array = steal(PyObject_CallOneArg(reg().np_frombuffer, data.ptr()));
    return py::make_tuple(array, rest);
}

// ---- program text ----------------------------------------------------------

// A text piece appended to the program buffer: ASCII as it is, anything else
// as UTF-8 with lone surrogates passed through, undone when the text is made.
struct Program {
    std::string buf;
    bool ascii = true;

    // Bytes of a str and its length in characters.
    std::string_view bytes_of(py::handle s, py::object& keep, std::size_t& chars) {
        PyObject* o = s.ptr();
        chars = static_cast<std::size_t>(PyUnicode_GET_LENGTH(o));
        if (PyUnicode_IS_ASCII(o))
            return {static_cast<const char*>(PyUnicode_DATA(o)), chars};
        ascii = false;
        keep = steal(PyUnicode_AsEncodedString(o, "utf-8", "surrogatepass"));
        return {PyBytes_AS_STRING(keep.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(keep.ptr()))};
    }

    py::object text() const {
        if (!ascii) return str_of(buf);
        PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(buf.size()), 127);
        if (!s) throw py::error_already_set();
        std::memcpy(PyUnicode_DATA(s), buf.data(), buf.size());
        return py::reinterpret_steal<py::object>(s);
    }
};

// Whether a class keeps IRBase's __len__ / __format__, so that both are its
// str().
bool len_is_text(PyObject* ir) {
    static OwnSteps<1, NoExtra> gate({special(own_object(TVK_NAME("__len__"), reg().base_len))});
    return gate.open_type(Py_TYPE(ir)).has_value();
}
bool format_is_text(PyObject* ir) {
    static OwnSteps<1, NoExtra> gate({special(own_object(TVK_NAME("__format__"), reg().base_format))});
    return gate.open_type(Py_TYPE(ir)).has_value();
}

py::object ir_str(py::handle ir) { return steal(PyObject_Str(ir.ptr())); }

// Lines rendered by the interpreter: format(ir, " <W") for every instruction
// of a list or tuple, W being `longest` plus the gap, the list read as it
// stands at each step (a get_longest_len of the caller's own has seen it).
py::object render_formatted(py::handle program, py::handle longest) {
    static PyObject* const gap = keep_new(PyLong_FromLong(static_cast<long>(text::kGap)));
    py::object width = steal(PyNumber_Add(longest.ptr(), gap));
    py::object spec = steal(PyUnicode_FromFormat(" <%S", width.ptr()));
    Program out;
    for (Py_ssize_t p = 0; p < PySequence_Fast_GET_SIZE(program.ptr()); ++p) {
        py::object ir = py::reinterpret_borrow<py::object>(PySequence_Fast_GET_ITEM(program.ptr(), p));
        py::object line = steal(PyObject_Format(ir.ptr(), spec.ptr()));
        py::object keep;
        std::size_t chars;
        text::append_formatted(out.buf, out.bytes_of(line, keep, chars), static_cast<std::size_t>(p));
    }
    return out.text();
}

// The longest len() over the program and each instruction's text where len()
// already made it; then every line laid out from those texts.
py::object render(const py::tuple& program) {
    const Py_ssize_t n = PyTuple_GET_SIZE(program.ptr());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "max() arg is an empty sequence");
        throw py::error_already_set();
    }
    std::vector<py::object> texts(static_cast<std::size_t>(n));
    Py_ssize_t longest = -1;
    for (Py_ssize_t p = 0; p < n; ++p) {
        PyObject* ir = PyTuple_GET_ITEM(program.ptr(), p);
        Py_ssize_t len;
        if (len_is_text(ir)) {
            py::object s = ir_str(ir);
            len = PyUnicode_CheckExact(s.ptr()) ? PyUnicode_GET_LENGTH(s.ptr()) : PyObject_Length(s.ptr());
            if (len < 0) throw py::error_already_set();
            texts[static_cast<std::size_t>(p)] = std::move(s);
        } else {
            len = PyObject_Length(ir);
            if (len < 0) throw py::error_already_set();
        }
        if (len > longest) longest = len;
    }
    // A width beyond any sensible text goes the interpreter's way (and fails
    // there as it would).
    if (longest > (Py_ssize_t{1} << 30)) return render_formatted(program, steal(PyLong_FromSsize_t(longest)));
    const std::size_t width = static_cast<std::size_t>(longest) + text::kGap;
    Program out;
    out.buf.reserve(static_cast<std::size_t>(n) * (width + text::kComment.size() + 8));
    py::object spec;
    for (Py_ssize_t p = 0; p < n; ++p) {
        PyObject* ir = PyTuple_GET_ITEM(program.ptr(), p);
        py::object& s = texts[static_cast<std::size_t>(p)];
        py::object keep;
        std::size_t chars;
        const bool plain_format = format_is_text(ir);
        if (plain_format && !s) s = ir_str(ir);
        if (plain_format && PyUnicode_CheckExact(s.ptr())) {
            std::string_view t = out.bytes_of(s, keep, chars);
            text::append_line(out.buf, t, chars, width, static_cast<std::size_t>(p));
            continue;
        }
        // A format of the class's own, or a text of a str subclass: the
        // interpreter lays it out.
        if (!spec) spec = steal(PyUnicode_FromFormat(" <%zu", width));
        py::object line = steal(PyObject_Format(plain_format ? s.ptr() : ir, spec.ptr()));
        text::append_formatted(out.buf, out.bytes_of(line, keep, chars), static_cast<std::size_t>(p));
    }
    return out.text();
}

py::object gen_program(const Call& c) {
    static const Signature sig("gen_program", {"self", "ir_list", "kernel"}, 3);
    auto b = bind<3>(sig, c);
    py::handle self = b[0], kernel = b[2];
    Flat flat = flatten(b[1]);
    const py::list& program = flat.program;
    // A tuple of the program for our own walks: code run by a tag, a setter
    // or a text cannot move its items.
    py::tuple items = py::reinterpret_steal<py::tuple>(steal(PyList_AsTuple(program.ptr())).release());
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());

    // Tag -> position, a later position winning; a landing tag that no
    // instruction bears maps where it lands.
    // (Sized for all of them: it is filled once.)
    py::object positions = steal(insides::new_dict_for(n + static_cast<Py_ssize_t>(flat.aliases.size())));
    std::size_t a = 0;
    auto put = [&](py::handle tag, std::size_t pos) {
        py::object p = steal(PyLong_FromSize_t(pos));
        if (PyDict_SetItem(positions.ptr(), tag.ptr(), p.ptr()) < 0) throw py::error_already_set();
    };
    for (Py_ssize_t p = 0; p < n; ++p) {
        for (; a < flat.aliases.size() && flat.aliases[a].second == static_cast<std::size_t>(p); ++a)
            put(flat.aliases[a].first, flat.aliases[a].second);
        put(read_attr(PyTuple_GET_ITEM(items.ptr(), p), TVK_NAME("tag")), static_cast<std::size_t>(p));
    }
    for (; a < flat.aliases.size(); ++a) put(flat.aliases[a].first, flat.aliases[a].second);

    // Both maps complete before the first text is made: the jumps read them.
    py::object targets = getattr(kernel, TVK_NAME("instr_target_map"));
    if (PyDict_CheckExact(targets.ptr())) {
        if (PyDict_Update(targets.ptr(), positions.ptr()) < 0) throw py::error_already_set();
    } else {
        call_method(targets, TVK_NAME("update"), {positions});
    }
    static InlineFields index_map({"index_map"});
    for (Py_ssize_t p = 0; p < n; ++p) index_map.set(PyTuple_GET_ITEM(items.ptr(), p), {positions.ptr()});

    static OwnSteps<1, NoExtra> own_longest({own_object(TVK_NAME("get_longest_len"), reg().get_longest_len)});
    if (own_longest.open(self.ptr())) return render(items);
    // A get_longest_len of the caller's own decides the width.
    py::object longest_fn = getattr(self, TVK_NAME("get_longest_len"));
    return render_formatted(program, steal(PyObject_CallOneArg(longest_fn.ptr(), program.ptr())));
}

py::object get_longest_len(const Call& c) {
    static const Signature sig("get_longest_len", {"ir_list"}, 1);
    auto b = bind<1>(sig, c);
    Py_ssize_t longest = -1;
    py::object it = steal(PyObject_GetIter(b.v[0]));
    while (PyObject* x = PyIter_Next(it.ptr())) {
        py::object ir = py::reinterpret_steal<py::object>(x);
        Py_ssize_t len = PyObject_Length(ir.ptr());
        if (len < 0) throw py::error_already_set();
        if (len > longest) longest = len;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    if (longest < 0) {
        PyErr_SetString(PyExc_ValueError, "max() arg is an empty sequence");
        throw py::error_already_set();
    }
    return steal(PyLong_FromSsize_t(longest));
}

py::object translate_ir(const Call& c) {
    TranslateCall t = bind_translate(c);
    py::handle self = t.self;
    py::object kernel = t.kernel;
    auto [envelopes, rest] = value_and_rest(call_method(self, TVK_NAME("get_envelope"), {t.ir_list}));
    auto [waveform, rest2] = value_and_rest(call_method(self, TVK_NAME("get_waveform"), {rest}));
    auto [freqs, rest3] = value_and_rest(call_method(self, TVK_NAME("get_freqlist"), {rest2}));
    auto [demod, rest4] = value_and_rest(call_method(self, TVK_NAME("get_demodulation"), {rest3}));
    py::object text = call_method(self, TVK_NAME("gen_program"), {rest4, kernel});
    return py::make_tuple(envelopes, waveform, freqs, demod, text);
}

}  // namespace

TranslateCall bind_translate(const Call& c) {
    static const Signature sig("translate_ir", {"self", "ir_list"}, 2, Signature::VarKw);
    auto b = bind<2>(sig, c);
    check_list(b[1], "ir_list");
    py::object kernel = mapping_get(b.kwargs, TVK_NAME("kernel"), Py_None);
    if (kernel.is_none()) {
        PyErr_SetString(PyExc_RuntimeError, "kernel is None");
        throw py::error_already_set();
    }
    return {b[0], b[1], kernel, b.kwargs};
}

std::pair<py::object, py::object> value_and_rest(py::handle result) {
    std::pair<py::object, py::object> pair;
    unpack2(result, pair.first, pair.second);
    check_list_result(pair.second);
    return pair;
}

void register_normal(py::module_& m) {
    Registry& r = reg();
    r.NormalTranslator = define_class(m, kModule, "NormalTranslator", {}, [](ClassBuilder& b) {
        b.staticmethod("get_longest_len", method<get_longest_len>())
            .method("gen_program", method<with_instance_cache<gen_program>>())
            .method("get_envelope", method<with_instance_cache<get_envelope>>())
            .method("get_waveform", method<with_instance_cache<get_item<kGetWaveform, kWaveform, kWave>>>())
            .method("get_freqlist", method<with_instance_cache<get_item<kGetFreqlist, kFreqlist, kFreqList>>>())
            .method("get_demodulation", method<with_instance_cache<get_item<kGetDemodulation, kDemodule, kWave>>>())
            .method("translate_ir", method<with_instance_cache<translate_ir>>());
    });
    r.get_longest_len = pin(py::object(py::handle(r.NormalTranslator).attr("__dict__"))["get_longest_len"]);
}

}  // namespace tvk::translate
