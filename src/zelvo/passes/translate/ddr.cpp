// The DDR translator: arbitrary waveforms laid out back to back in external
// memory, their names returned with the program text.
#include <pybind11/cast.h>

#include "common/count.hpp"
#include "common/mapping.hpp"
#include "translate.hpp"

namespace tvk::translate {

namespace {

// (names in list order, the other instructions); sets every waveform's byte
// offset on the way.
py::object get_arb(const Call& c) {
    static const Signature sig("get_arb", {"ir_list", "b_width"}, 2);
    auto b = bind<2>(sig, c);
    Count offset;
    py::list names, rest;
    for_each(b[0], [&](py::handle ir) {
        if (!is(ir, kArb)) {
            append(rest, ir);
            return;
        }
        setattr(ir, TVK_NAME("offset"), offset.object());
        py::object size = getattr(getattr(ir, TVK_NAME("waveform")), TVK_NAME("size"));
        offset = offset + Count::of(steal(PyNumber_Multiply(size.ptr(), b.v[1])));
        append(names, getattr(ir, TVK_NAME("name")));
    });
    return py::make_tuple(names, rest);
}

py::object translate_ir(const Call& c) {
    TranslateCall t = bind_translate(c);
    static PyObject* const two = keep_new(PyLong_FromLong(2));
    py::object width = mapping_get(t.kwargs, TVK_NAME("ddr_play_bwidth"), two);
    // Offsets first: the DDR lines print them.
    auto [names, rest] = value_and_rest(call_method(t.self, TVK_NAME("get_arb"), {t.ir_list, width}));
    py::object text = call_method(t.self, TVK_NAME("gen_program"), {rest, t.kernel});
    return py::make_tuple(names, text);
}

}  // namespace

void register_ddr(py::module_& m) {
    define_class(m, kModule, "PlayDDRTranslator", {reg().NormalTranslator}, [](ClassBuilder& b) {
        b.staticmethod("get_arb", method<with_instance_cache<get_arb>>())
            .method("translate_ir", method<with_instance_cache<translate_ir>>());
    });
}

}  // namespace tvk::translate
