// Linking of the Assembler: a drive channel's command list becomes its drive
// queue and the probe words of its probe channel, each with a table from tag
// to position; runs of probe delays merge into one word; jumps take the
// position of their target. One merger of delay runs serves the separate
// steps and the one pass that runs them together.
#include <string>
#include <vector>

#include "assembler_parts.hpp"

namespace tvk::assembler {

PyObject* g_delay_sum = nullptr;

// ---------------------------------------------------------------- _DelaySum

// The delay of a merged probe-delay word whose run holds a delay holder: it
// keeps the run's delays and adds them when read, so a holder changed after
// loading is the one encoded, as for the drive delay's zero-play.
py::object delay_sum_init(const Call& c) {
    static const Signature sig("__init__", {"self", "parts"}, 2);
    auto b = bind<2>(sig, c);
    setattr(b[0], TVK_NAME("parts"), as_tuple(b[1]));
    return py::none();
}

py::object delay_sum_value(py::handle self) {
    py::object parts = as_tuple(read_attr(self, TVK_NAME("parts")));
    py::handle qnumber = reg().QNumber;
    py::object acc = py_int(0);
    const Py_ssize_t n = PyTuple_GET_SIZE(parts.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle part = PyTuple_GET_ITEM(parts.ptr(), i);
        // A holder counts as the encoder would take it alone: its float().
        py::object v = is_instance(part, qnumber) ? steal(PyNumber_Float(part.ptr())) : borrow(part);
        acc = steal(PyNumber_Add(acc.ptr(), v.ptr()));
    }
    return acc;
}

namespace {

// ---------------------------------------------------------------- merging delay runs

void enter_last(py::handle table, py::handle queue) {
    Py_ssize_t n = PyList_GET_SIZE(queue.ptr());
    set_item(table, tag_of(PyList_GET_ITEM(queue.ptr(), n - 1)), py_int(n - 1));
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
            py::object zero = py_int(0);
            delay = zero;
            for (const auto& d : run) delay = steal(PyNumber_Add(delay.ptr(), d.ptr()));
            if (!compare(delay, zero, Py_NE)) return py::none();
        }
    }
    return call(reg().QInsPTrigDelay, {fresh_tag(self), delay});
}

// Probe words as _optimize_probe_q leaves them: each run of delays becomes
// one delay word (none when it adds up to nothing) ahead of the word that
// ends it, and every word put in the queue is entered in the table at its
// position.
class DelayRuns {
public:
    DelayRuns(py::handle self, py::handle queue, py::handle table) : self_(self), queue_(queue), table_(table) {}

    void delay(py::object d) {
        holder_ = holder_ || is_instance(d, reg().QNumber);
        run_.push_back(std::move(d));
    }
    void word(py::handle w) {
        close();
        put(w);
    }
    // The run so far as its word; a run at the very end keeps its time too.
    void close() {
        py::object d = merged_delay(self_, run_, holder_);
        run_.clear();
        holder_ = false;
        if (!d.is_none()) put(d);
    }

private:
    void put(py::handle w) {
        append(queue_, w);
        enter_last(table_, queue_);
    }

    py::handle self_, queue_, table_;
    std::vector<py::object> run_;
    bool holder_ = false;
};

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

// list.append on an object the caller may have replaced.
void any_append(py::handle seq, py::handle item) {
    if (PyList_CheckExact(seq.ptr())) return append(seq, item);
    call_method(seq, TVK_NAME("append"), {item});
}

void open_segment(py::handle counts, py::handle points) {
    any_append(counts, py_int(0));
    any_append(points, steal(PyList_New(0)));
}

// Linking of one drive channel: the drive queue with its table, and the
// probe queue either with a delay word per drive record (what _link_wave
// returns) or merged as _optimize_probe_q merges it, the runs of delays then
// merged as they come and never made as words of their own.
class Linker {
public:
    Linker(py::handle self, py::handle drive_ch, bool merged)
        : dq(steal(PyList_New(0))),
          pq(steal(PyList_New(0))),
          dtab(steal(PyDict_New())),
          ptab(steal(PyDict_New())),
          self_(self),
          drive_ch_(drive_ch),
          merged_(merged),
          runs_(self, pq, ptab) {}

    void run(py::handle cmdq) {
        Records r = Records::load();
        py::object frames = get_item(read_attr(self_, TVK_NAME("frame_symbol")), drive_ch_);
        py::object envelopes = get_item(read_attr(self_, TVK_NAME("envelop_symbol")), drive_ch_);

        py::object first = call(r.p_wait, {fresh_tag(self_)});
        word(first);
        if (!merged_) set_item(ptab, tag_of(first), py_int(0));

        py::object p = get_item(read_attr(self_, TVK_NAME("drive2probe")), drive_ch_);
        py::object da_holder = get_item(read_attr(self_, TVK_NAME("da_delay")), drive_ch_);
        py::object ad_holder = get_item(read_attr(self_, TVK_NAME("ad_delay")), p);
        py::object counts = get_item(read_attr(self_, TVK_NAME("capture_count")), p);
        py::object points = get_item(read_attr(self_, TVK_NAME("capture_points")), p);
        open_segment(counts, points);
        py::object minus_one = py_int(-1), one = py_int(1);

        py::object it = steal(PyObject_GetIter(cmdq.ptr()));
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            py::object rec = steal(raw);
            resolve(rec, TVK_NAME("frame_idx"), TVK_NAME("frame"), "frame", frames, envelopes);
            resolve(rec, TVK_NAME("envelop_slice"), TVK_NAME("envelop"), "envelop", frames, envelopes);
            if (is_instance(rec, r.capture)) {
                Py_ssize_t steps = PyObject_Length(rec.ptr());
                if (steps < 0) throw py::error_already_set();
                py::object width =
                    steal(PyNumber_Multiply(py_int(steps).ptr(), config(TVK_NAME("capture_step")).ptr()));
                append(dq, call(r.play_zero, {tag_of(rec), width}));
                setattr(rec, TVK_NAME("tag"), fresh_tag(self_));
                word(rec);
                py::object last = get_item(counts, minus_one);
                set_item(counts, minus_one, steal(PyNumber_Add(last.ptr(), one.ptr())));
                any_append(get_item(points, minus_one), width);
            } else if (is_instance(rec, r.wait_trig)) {
                open_segment(counts, points);
                append(dq, rec);
                word(call(r.p_wait, {fresh_tag(self_)}));
                enter_last(dtab, dq);
                if (!merged_) enter_last(ptab, pq);
                if (truth(da_holder)) append(dq, call(r.play_zero, {fresh_tag(self_), da_holder}));
                if (truth(ad_holder)) delay(ad_holder);
            } else {
                append(dq, rec);
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
            raise_assembly_error(std::string("The ") + what + " tag required by instruction " + repr_text(rec) +
                                 " does not exist in the instruction queue of channel " + str_text(drive_ch_));
        setattr(rec, resolved, read_attr(found, resolved));
    }

    // A probe word other than a delay.
    void word(py::handle w) {
        if (merged_) return runs_.word(w);
        append(pq, w);
    }
    void delay(py::object d) {
        if (merged_) return runs_.delay(std::move(d));
        append(pq, call(reg().QInsPTrigDelay, {fresh_tag(self_), d}));
    }

    py::handle self_, drive_ch_;
    bool merged_;
    DelayRuns runs_;
};

void resolve_jumps(py::handle queue, py::handle table) {
    py::object it = steal(PyObject_GetIter(queue.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object rec = steal(raw);
        if (!optional_attr(rec, TVK_NAME("ins_idx"))) continue;
        py::object target = optional_attr(rec, TVK_NAME("target"));
        if (!target) continue;
        setattr(rec, TVK_NAME("ins_idx"), get_item(table, target));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

py::object link_wave(const Call& c);
py::object optimize_drive_q(const Call& c);
py::object optimize_probe_q(const Call& c);
py::object link_jump(const Call& c);

// The four steps of linking and the tag source are all this module's own,
// so linking may run them as one pass.
bool own_linking(py::handle self) {
    static OwnSteps<5, NoExtra> gate({
        own_object(TVK_NAME("generate_tag"), reg().tag_property),
        own_method(TVK_NAME("_link_wave"), method<link_wave>().fn),
        own_method(TVK_NAME("_optimize_drive_q"), method<optimize_drive_q>().fn),
        own_method(TVK_NAME("_optimize_probe_q"), method<optimize_probe_q>().fn),
        own_method(TVK_NAME("_link_jump"), method<link_jump>().fn),
    });
    return gate.open(self.ptr()).has_value();
}

py::object link_wave(const Call& c) {
    static const Signature sig("_link_wave", {"self", "drive_ch", "cmdq"}, 3);
    auto b = bind<3>(sig, c);
    Linker l(b[0], b[1], false);
    l.run(b[2]);
    return tuple_of({l.dq, l.pq, l.dtab, l.ptab});
}

py::object optimize_drive_q(const Call& c) {
    static const Signature sig("_optimize_drive_q", {"self", "queue", "symbol"}, 3);
    auto b = bind<3>(sig, c);
    return tuple_of({b[1], b[2]});
}

py::object optimize_probe_q(const Call& c) {
    static const Signature sig("_optimize_probe_q", {"self", "queue"}, 2);
    auto b = bind<2>(sig, c);
    py::handle p_delay = reg().QInsPTrigDelay;
    py::object words = as_tuple(b[1]);
    py::object result = steal(PyList_New(0)), table = steal(PyDict_New());
    DelayRuns runs(b[0], result, table);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(words.ptr()); ++i) {
        py::handle w = PyTuple_GET_ITEM(words.ptr(), i);
        if (is_instance(w, p_delay))
            runs.delay(read_attr(w, TVK_NAME("delay")));
        else
            runs.word(w);
    }
    runs.close();
    return tuple_of({result, table});
}

py::object link_jump(const Call& c) {
    static const Signature sig("_link_jump", {"self", "drive_queue", "probe_queue", "drive_symbol", "probe_symbol"},
                               5);
    auto b = bind<5>(sig, c);
    resolve_jumps(b[1], b[3]);
    resolve_jumps(b[2], b[4]);
    return tuple_of({b[1], b[2]});
}

py::object divide_cmd(const Call& c) {
    static const Signature sig("divide_cmd", {"self", "ch_id", "cmdq"}, 3);
    auto b = bind<3>(sig, c);
    py::handle self = b[0];
    if (own_linking(self)) {
        Linker l(self, b[1], true);
        l.run(b[2]);
        resolve_jumps(l.dq, l.dtab);
        resolve_jumps(l.pq, l.ptab);
        return tuple_of({l.dq, l.pq, l.dtab, l.ptab});
    }
    auto linked = unpack<4>(call_method(self, TVK_NAME("_link_wave"), {b[1], b[2]}));
    auto drive = unpack<2>(call_method(self, TVK_NAME("_optimize_drive_q"), {linked[0], linked[2]}));
    auto probe = unpack<2>(call_method(self, TVK_NAME("_optimize_probe_q"), {linked[1]}));
    call_method(self, TVK_NAME("_link_jump"), {drive[0], probe[0], drive[1], probe[1]});
    return tuple_of({drive[0], probe[0], drive[1], probe[1]});
}

}  // namespace

void add_linking_methods(ClassBuilder& b) {
    b.method("divide_cmd", method<divide_cmd>())
        .method("_link_wave", method<link_wave>())
        .method("_optimize_drive_q", method<optimize_drive_q>())
        .method("_optimize_probe_q", method<optimize_probe_q>())
        .method("_link_jump", method<link_jump>());
}

}  // namespace tvk::assembler
