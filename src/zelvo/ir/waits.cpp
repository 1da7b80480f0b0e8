// Waits and the delay: stretches of time turned into whole base-clock cycles.
#include "cycles.hpp"

namespace tvk::ir {

namespace {


using cyc::Whole;

constexpr char kWidth[] = "width";
constexpr char kPoints[] = "points";

// round(float(width) / base_clock).
Whole width_cycles(py::handle self) {
    py::object clock = compile_param(self, TVK_NAME("base_clock"), TVK_FLOAT(4e-9));
    py::object width = read_attr(self, TVK_NAME("width"));
    PyObject* w = width.ptr();
    if (PyFloat_CheckExact(w)) return cyc::round_div(width, clock);
    return cyc::round_div(steal(PyNumber_Float(w)), clock);
}

py::object wait_time(py::handle self) { return width_cycles(self).object(); }

// round(float(width * srate)) at the target channel's rate.
py::object wait_duration(py::handle self) {
    py::object srate = cyc::target_srate(self);
    py::object width = read_attr(self, TVK_NAME("width"));
    double d;
    if (cyc::plain_mul(width.ptr(), srate.ptr(), d)) return cyc::round_whole(d).object();
    py::object prod = steal(PyNumber_Multiply(width.ptr(), srate.ptr()));
    if (!PyFloat_CheckExact(prod.ptr())) prod = steal(PyNumber_Float(prod.ptr()));
    return cyc::round_obj(prod).object();
}

// ceil(points / round(srate * 4e-9)): samples per 4 ns, whatever base_clock is.
py::object points_wait_time(py::handle self) {
    static PyObject* const cycle = keep_new(PyFloat_FromDouble(4e-9));
    py::object srate = cyc::target_srate(self);
    Whole block = cyc::round_mul(srate, cycle);
    py::object points = read_attr(self, TVK_NAME("points"));
    py::object b = block.object();
    double q;
    if (cyc::plain_div(points.ptr(), b.ptr(), q)) return cyc::ceil_whole(q).object();
    return cyc::ceil_obj(steal(PyNumber_TrueDivide(points.ptr(), b.ptr()))).object();
}

// points as an int: unchanged when it is one, None passes, another number
// through its __int__.
py::object points_duration(py::handle self) {
    read_attr(read_attr(self, TVK_NAME("kernel")), TVK_NAME("compile_params"));
    py::object points = read_attr(self, TVK_NAME("points"));
    PyObject* p = points.ptr();
    if (PyLong_Check(p) || p == Py_None) return points;
    PyNumberMethods* nb = Py_TYPE(p)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(p)->tp_name);
        throw py::error_already_set();
    }
    py::object r = steal(nb->nb_int(p));
    if (!PyLong_Check(r.ptr())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.ptr())->tp_name);
        throw py::error_already_set();
    }
    return r;
}

// The count of a "witi" line is 32 bits wide.
constexpr std::int64_t kMaxDelayCycles = 4294967295;

// Whether the count fits the line; a count that is no integer at all is
// printed as it is.
bool delay_fits(const Whole& count) {
    if (count.plain()) return count.v >= 0 && count.v <= kMaxDelayCycles;
    PyObject* o = count.o.ptr();
    if (PyLong_Check(o)) return false;  // beyond 64 bits
    if (!PyIndex_Check(o)) return true;
    Whole index = cyc::whole(steal(PyNumber_Index(o)));
    return index.plain() && index.v >= 0 && index.v <= kMaxDelayCycles;
}

py::object delay_pack_cmd(const Call& c) {
    py::handle self = self_only(c, "_pack_cmd");
    Whole count = width_cycles(self);
    if (!delay_fits(count)) {
        std::string message = whose(self) + "the delay of ";
        count.append(message);
        message += " cycles does not fit the count of its \"witi\" line (0 to " + std::to_string(kMaxDelayCycles) +
                   " cycles, about 17 s at the default 4 ns base clock); widths of waits and delays are seconds";
        PyErr_SetString(PyExc_ValueError, message.c_str());
        throw py::error_already_set();
    }
    std::string out("witi ");
    count.append(out);
    return make_str(out);
}

}  // namespace

void register_IRWait(py::module_& m) {
    define_class(m, kModule, "IRWait", {reg().FixIR, reg().SimulationIR}, [](ClassBuilder& b) {
        b.method("__init__", method<one_arg_init<kWidth, kWidth>>())
            .property("overhead", getter<const_int<0>>())
            .property("wait_time", getter<wait_time>())
            .property("duration", getter<wait_duration>())
            .method("_pack_cmd", method<empty_pack_cmd>());
    });
}

void register_IRWaitPoints(py::module_& m) {
    define_class(m, kModule, "IRWaitPoints", {reg().FixIR, reg().SimulationIR}, [](ClassBuilder& b) {
        b.method("__init__", method<one_arg_init<kPoints, kPoints>>())
            .property("overhead", getter<const_int<0>>())
            .property("wait_time", getter<points_wait_time>())
            .property("duration", getter<points_duration>())
            .method("_pack_cmd", method<empty_pack_cmd>());
    });
}

void register_IRDelay(py::module_& m) {
    define_class(m, kModule, "IRDelay", {reg().FixIR}, [](ClassBuilder& b) {
        b.method("__init__", method<one_arg_init<kWidth, kWidth>>())
            .property("overhead", getter<const_int<2>>())
            .property("wait_time", getter<wait_time>())
            .method("_pack_cmd", method<delay_pack_cmd>());
    });
}

}  // namespace tvk::ir
