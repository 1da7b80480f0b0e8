// What the files of the Assembler share: the records it makes or tells
// apart, tags, numpy calls, and the methods each file defines for the class
// (assembler.cpp registers them all).
#pragma once

#include <initializer_list>

#include "common/walk.hpp"
#include "ostrane.hpp"

namespace tvk::assembler {

struct Records {
    py::handle envelop, frame, capture, wait_trig, play_zero, p_wait, p_delay, p_jump, qnumber;
    static Records load() {
        const Registry& g = reg();
        return {g.QInsEnvelop, g.QInsFrame,     g.QInsCapture,    g.QInsWaitTrig, g.QInsPlayZero,
                g.QInsPWaitTrig, g.QInsPTrigDelay, g.QInsPJump, g.QNumber};
    }
};

inline py::object tag_of(py::handle rec) { return read_attr(rec, TVK_NAME("tag")); }
inline py::object fresh_tag(py::handle self) { return generate_tag_of(self, reg().tag_property); }

// fn(*args, dtype=dtype), for the array library's constructors.
py::object with_dtype(py::handle fn, std::initializer_list<py::handle> args, py::handle dtype);
// Samples of one envelope memory: global_config["envelope_cache"] // 2.
py::object envelope_samples();

// ---- linking.cpp: the delay sum and linking ---------------------------------

// The class _DelaySum, set when it is registered.
extern PyObject* g_delay_sum;
py::object delay_sum_init(const Call& c);
py::object delay_sum_value(py::handle self);

// divide_cmd and the four steps of linking it runs (_link_wave,
// _optimize_drive_q, _optimize_probe_q, _link_jump), in that order.
void add_linking_methods(ClassBuilder& b);

// ---- images.cpp -------------------------------------------------------------

py::object assemble(const Call& c);

}  // namespace tvk::assembler
