// Linking of the Assembler: a drive channel's command list becomes its drive
// queue and the probe words of its probe channel, each with a table from tag
// to position; runs of probe delays merge into one word; jumps take the
// position of their target. One merger of delay runs serves the separate
// steps and the one pass that runs them together.
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "assembler_parts.hpp"
#include "probe_timing.hpp"

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

// ---------------------------------------------------------------- probe timing

using timing::Kind;

// The value of an integer (an int, a bool, a numpy integer) as an exact int;
// null for anything else.
py::object exact_int(py::handle v) {
    if (PyLong_CheckExact(v.ptr())) return borrow(v);
    if (PyFloat_Check(v.ptr()) || !PyIndex_Check(v.ptr())) return py::object();
    return steal(PyNumber_Index(v.ptr()));
}

bool int64_of(py::handle v, std::int64_t& out) {
    py::object i = exact_int(v);
    return i && wide_small_int(i.ptr(), out);
}

py::object num_add(py::handle a, py::handle b) { return steal(PyNumber_Add(a.ptr(), b.ptr())); }

// The smallest p >= 1 with v0 + p*pre + (p-1)*post == value, on exact ints;
// null when there is none.
py::object pass_count(py::handle v0, py::handle pre, py::handle post, py::handle value) {
    py::object per_pass = num_add(pre, post);
    py::object rest = num_add(num_sub(value, v0), post);  // p * per_pass must equal it
    py::object zero = py_int(0), one = py_int(1);
    if (!compare(per_pass, zero, Py_NE)) return compare(rest, zero, Py_EQ) ? one : py::object();
    if (compare(py_mod(rest, per_pass), zero, Py_NE)) return py::object();
    py::object p = py_floordiv(rest, per_pass);
    return compare(p, one, Py_GE) ? p : py::object();
}

// A record of the list as the drive side met it.
struct Item {
    py::object rec;
    py::object overhead;  // records that only take time
    Kind kind = Kind::Plain;
    bool mov = false;          // a register move, its type read only when the list holds jumps
    bool probe_delay = false;  // a trigger wait after which the probe delay applies
};

// The records the analysis tells apart, by class.
Kind kind_of(py::handle rec, bool& mov) {
    const Registry& g = reg();
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(rec.ptr()));
    if (t == g.QInsJump) return Kind::Jump;
    if (t == g.QInsJumpWithReg) return Kind::JumpReg;
    if (t == g.QInsJumpWithJudge) return Kind::JumpJudge;
    if (t == g.QInsMov) {
        mov = true;
        return Kind::Plain;
    }
    for (PyObject* plain : {g.QInsWait, g.QInsPlayWave, g.QInsPlayZero, g.QInsFrame, g.QInsIncPhase, g.QInsResetF,
                            g.QInsEnd})
        if (t == plain) return Kind::Plain;
    if (is_instance(rec, g.QInsJump)) return Kind::Jump;
    if (is_instance(rec, g.QInsJumpWithReg)) return Kind::JumpReg;
    if (is_instance(rec, g.QInsJumpWithJudge)) return Kind::JumpJudge;
    if (is_instance(rec, g.QInsMov)) {
        mov = true;
        return Kind::Plain;
    }
    // Linking resolves it as a jump, but where it leads is not known.
    if (optional_attr(rec, TVK_NAME("ins_idx")) && optional_attr(rec, TVK_NAME("target"))) return Kind::OtherJump;
    return Kind::Plain;
}

constexpr double kPathTolerance = 1e-12;

// How many times each drive record counts on the probe side: the weights of
// the records that take time (ids into `values`, 0 for none and 1 for one
// run), or an empty list when every record counts once. Refusals raise.
class Weights {
public:
    std::vector<std::uint32_t> ids;
    std::vector<py::object> values{py_int(0), py_int(1)};

    // `list_pos` gives the list position of each drive queue record (-1 for
    // the delay zero-plays linking adds).
    void weigh(const std::vector<Item>& items, py::handle dtab, const std::vector<std::int64_t>& list_pos) {
        std::vector<timing::Rec> recs(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) recs[i] = rec_of(items[i], dtab, list_pos);
        timing::Structure s = timing::analyse(recs);
        if (!s.recognised || s.nodes.empty()) return;

        // Pass counts on exact ints.
        std::vector<py::object> exact(s.nodes.size());
        std::vector<timing::Count> counts(s.nodes.size());
        bool branches = false;
        for (std::size_t x = 0; x < s.nodes.size(); ++x) {
            const timing::Node& node = s.nodes[x];
            if (!node.loop) {
                branches = true;
                continue;
            }
            exact[x] = loop_count(items, node);
            timing::Count& c = counts[x];
            c.known = static_cast<bool>(exact[x]);
            if (!c.known) continue;
            c.k = PyLong_AsDouble(exact[x].ptr());
            if (c.k == -1.0 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
                PyErr_Clear();
                c.k = HUGE_VAL;
            }
        }
        // Seconds of each record, for comparing branch paths.
        std::vector<double> seconds(items.size(), 0.0);
        if (branches)
            for (std::size_t i = 0; i < items.size(); ++i)
                if (items[i].overhead) seconds[i] = as_double(items[i].overhead);

        timing::Outcome out = timing::resolve(s, recs, counts, seconds, kPathTolerance);
        if (out.refusal != timing::Refusal::None) refuse(items, s, out, exact);

        // Weight of each part of each structure, parents first.
        std::vector<std::array<std::uint32_t, timing::kParts>> part_id(s.nodes.size());
        for (std::size_t x = 0; x < s.nodes.size(); ++x) {
            const timing::Node& node = s.nodes[x];
            const std::uint32_t outer =
                node.parent < 0 ? 1 : part_id[node.parent][static_cast<std::size_t>(node.parent_part)];
            for (std::size_t p = 0; p < timing::kParts; ++p)
                part_id[x][p] = times(outer, out.factors[x][p], exact[x]);
        }
        ids.resize(items.size());
        for (std::size_t i = 0; i < items.size(); ++i)
            ids[i] = s.owner[i] < 0 ? 1 : part_id[s.owner[i]][static_cast<std::size_t>(s.part[i])];
    }

    // The probe delay of item i: its overhead times its weight; one run keeps
    // the very overhead, none gives 0.0.
    py::object delay(const std::vector<Item>& items, std::size_t i) const {
        if (ids.empty() || ids[i] == 1) return items[i].overhead;
        if (ids[i] == 0) return py_float(0.0);
        return num_mul(items[i].overhead, values[ids[i]]);
    }

private:
    timing::Rec rec_of(const Item& it, py::handle dtab, const std::vector<std::int64_t>& list_pos) {
        timing::Rec r;
        r.kind = it.kind;
        if (it.mov) {
            py::object type = read_attr(it.rec, TVK_NAME("type"));
            r.kind = Kind::MovOther;
            if (PyUnicode_Check(type.ptr())) {
                if (PyUnicode_CompareWithASCIIString(type.ptr(), "=") == 0) r.kind = Kind::MovSet;
                if (PyUnicode_CompareWithASCIIString(type.ptr(), "+") == 0) r.kind = Kind::MovAdd;
            }
            r.reg_known = int64_of(read_attr(it.rec, TVK_NAME("reg")), r.reg);
        }
        if (!timing::is_jump(r.kind) || r.kind == Kind::OtherJump) return r;
        if (r.kind == Kind::JumpReg) r.reg_known = int64_of(read_attr(it.rec, TVK_NAME("reg")), r.reg);
        // Where the target stands in the list; a target linking cannot find
        // (its KeyError comes later) leaves the list unrecognised.
        py::object target = optional_attr(it.rec, TVK_NAME("target"));
        if (!target) return r;
        PyObject* pos = PyDict_GetItemWithError(dtab.ptr(), target.ptr());
        if (!pos) {
            if (PyErr_Occurred()) PyErr_Clear();  // an unhashable target: _link_jump says so
            return r;
        }
        std::int64_t d;
        if (small_int(pos, d) && d >= 0 && static_cast<std::size_t>(d) < list_pos.size()) r.target = list_pos[d];
        return r;
    }

    py::object value_of(const std::vector<Item>& items, std::int64_t pos) {
        return exact_int(read_attr(items[pos].rec, TVK_NAME("value")));
    }

    py::object loop_count(const std::vector<Item>& items, const timing::Node& node) {
        py::object v0 = value_of(items, node.open), value = value_of(items, node.exit);
        if (!v0 || !value) return py::object();
        py::object sums[2] = {py_int(0), py_int(0)};
        const std::vector<std::int64_t>* incs[2] = {&node.pre, &node.post};
        for (int k = 0; k < 2; ++k)
            for (std::int64_t pos : *incs[k]) {
                py::object s = value_of(items, pos);
                if (!s) return py::object();
                sums[k] = num_add(sums[k], s);
            }
        return pass_count(v0, sums[0], sums[1], value);
    }

    // The id of weight `outer` times a part's factor.
    std::uint32_t times(std::uint32_t outer, timing::Factor f, const py::object& k) {
        if (outer == 0 || f == timing::Factor::Zero) return 0;
        if (f == timing::Factor::One) return outer;
        py::object by = f == timing::Factor::K ? k : num_sub(k, py_int(1));
        py::object w = num_mul(values[outer], by);
        for (std::uint32_t id : {0u, 1u})
            if (compare(w, values[id], Py_EQ)) return id;
        values.push_back(std::move(w));
        return static_cast<std::uint32_t>(values.size() - 1);
    }

    [[noreturn]] void refuse(const std::vector<Item>& items, const timing::Structure& s, const timing::Outcome& out,
                             const std::vector<py::object>& exact) {
        const timing::Node& node = s.nodes[out.block];
        const std::string block = std::string(node.loop ? "the loop " : "the branch ") +
                                  repr_text(items[node.loop ? node.exit : node.open].rec);
        const bool capture = items[out.at].kind == Kind::Capture;
        std::string msg = "The probe program cannot branch: the ";
        msg += capture ? "capture " : "trigger wait ";
        msg += repr_text(items[out.at].rec);
        switch (out.refusal) {
            case timing::Refusal::FollowsBlock:
                msg += " follows " + block + " before the next trigger wait, and " +
                       (node.loop ? "its pass count is unknown" : "its paths take different times");
                break;
            case timing::Refusal::InBranch:
                msg += " stands on a path of " + block;
                break;
            case timing::Refusal::InLoop:
                msg += " stands in " + block + ", of " +
                       (exact[out.block] ? str_text(exact[out.block]) + " passes" : "an unknown number of passes");
                break;
            default:
                msg += " stands after the exit test of " + block + ", of one pass, and never runs";
                break;
        }
        if (!capture)
            msg += ", so the probe side would fall out of step with the capture " + repr_text(items[out.capture].rec);
        raise_assembly_error(msg);
    }
};

// Linking of one drive channel: the drive queue with its table, and the
// probe queue either with a delay word per drive record (what _link_wave
// returns) or merged as _optimize_probe_q merges it, the runs of delays then
// merged as they come and never made as words of their own. The drive side
// is linked first, in list order; the probe side follows once the weights
// of the records are known.
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

        py::object p = get_item(read_attr(self_, TVK_NAME("drive2probe")), drive_ch_);
        py::object da_holder = get_item(read_attr(self_, TVK_NAME("da_delay")), drive_ch_);
        py::object ad_holder = get_item(read_attr(self_, TVK_NAME("ad_delay")), p);
        py::object counts = get_item(read_attr(self_, TVK_NAME("capture_count")), p);
        py::object points = get_item(read_attr(self_, TVK_NAME("capture_points")), p);
        open_segment(counts, points);
        py::object minus_one = py_int(-1), one = py_int(1);

        std::vector<Item> items;
        bool jumps = false;
        py::object it = steal(PyObject_GetIter(cmdq.ptr()));
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            Item item;
            item.rec = steal(raw);
            py::handle rec = item.rec;
            const auto here = static_cast<std::int64_t>(items.size());
            resolve(rec, TVK_NAME("frame_idx"), TVK_NAME("frame"), "frame", frames, envelopes);
            resolve(rec, TVK_NAME("envelop_slice"), TVK_NAME("envelop"), "envelop", frames, envelopes);
            if (is_instance(rec, r.capture)) {
                item.kind = Kind::Capture;
                Py_ssize_t steps = PyObject_Length(rec.ptr());
                if (steps < 0) throw py::error_already_set();
                py::object width =
                    steal(PyNumber_Multiply(py_int(steps).ptr(), config(TVK_NAME("capture_step")).ptr()));
                drive(call(r.play_zero, {tag_of(rec), width}), here);
                py::object last = get_item(counts, minus_one);
                set_item(counts, minus_one, steal(PyNumber_Add(last.ptr(), one.ptr())));
                any_append(get_item(points, minus_one), width);
            } else if (is_instance(rec, r.wait_trig)) {
                item.kind = Kind::WaitTrig;
                open_segment(counts, points);
                drive(rec, here);
                enter_last(dtab, dq);
                if (truth(da_holder)) drive(call(r.play_zero, {fresh_tag(self_), da_holder}), -1);
                item.probe_delay = truth(ad_holder);
            } else {
                item.kind = kind_of(rec, item.mov);
                jumps = jumps || timing::is_jump(item.kind);
                drive(rec, here);
                item.overhead = read_attr(rec, TVK_NAME("overhead"));
            }
            enter_last(dtab, dq);
            items.push_back(std::move(item));
        }
        if (PyErr_Occurred()) throw py::error_already_set();

        Weights weights;
        if (jumps) weights.weigh(items, dtab, list_pos_);

        py::object first = call(r.p_wait, {fresh_tag(self_)});
        word(first);
        if (!merged_) set_item(ptab, tag_of(first), py_int(0));
        for (std::size_t i = 0; i < items.size(); ++i) {
            const Item& item = items[i];
            if (item.kind == Kind::Capture) {
                setattr(item.rec, TVK_NAME("tag"), fresh_tag(self_));
                word(item.rec);
            } else if (item.kind == Kind::WaitTrig) {
                word(call(r.p_wait, {fresh_tag(self_)}));
                if (!merged_) enter_last(ptab, pq);
                if (item.probe_delay) delay(ad_holder);
            } else {
                delay(weights.delay(items, i));
            }
            if (!merged_) enter_last(ptab, pq);
        }

        word(call(r.p_jump, {fresh_tag(self_), tag_of(first)}));
        if (!merged_) enter_last(ptab, pq);
    }

    py::object dq, pq, dtab, ptab;

private:
    // A record of the drive queue, from list position `pos` (-1: none).
    void drive(py::handle rec, std::int64_t pos) {
        append(dq, rec);
        list_pos_.push_back(pos);
    }

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
    std::vector<std::int64_t> list_pos_;  // of each drive queue record
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
