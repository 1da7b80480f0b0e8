// Shared declarations of module tarvok.compiler.ostrane: the objects made at
// module init and the helpers the record and assembler files use.
#pragma once

#include <array>
#include <initializer_list>
#include <string>
#include <utility>

#include "common/kit.hpp"
#include "common/direct.hpp"
#include "common/dataclass.hpp"
#include "words.hpp"

namespace tvk::assembler {

inline constexpr const char* kModule = "tarvok.compiler.ostrane";

// The module's registry (common/module.hpp).
struct Registry {
    PyObject* module_dict;
    PyObject *ndarray, *np_uint32, *struct_error;  // numpy.ndarray, numpy.uint32, struct.error
    PyObject *AssemblyError, *GenTagMixin;
    PinnedFunction tag_property;  // GenTagMixin.generate_tag, the property itself
    PyObject *QNumber, *TVKCommand;
    PyObject* ProbeCommand;  // _ProbeCommand
    // The drive records, in the order register_drive_records makes them.
    PyObject *QInsWait, *QInsPlayWave, *QInsFrame, *QInsJump, *QInsIncPhase, *QInsJumpWithReg, *QInsJumpWithJudge,
        *QInsResetF, *QInsMov, *QInsPlayZero, *QInsWaitTrig, *QInsEnd;
    PyObject *QInsEnvelop, *QInsCapture;
    PyObject *QInsPTrigDelay, *QInsPWaitTrig, *QInsPJump;  // _QInsPTrigDelay, _QInsPWaitTrig, _QInsPJump
};
inline Registry& reg() { return module_registry<Registry>(); }

// ---- configuration --------------------------------------------------------

// The module's global_config as it is bound now.
py::object global_config_obj();
// global_config[key], looking up the module's dictionary and the key at the
// moment of the call, as a module-level reader in Python does: a rebound or
// deleted global_config and a missing key fail like there.
py::object config(PyObject* key);  // key: TVK_NAME("OUTSrate") ...

// raise AssemblyError(message)
[[noreturn]] void raise_assembly_error(const std::string& message);
// raise struct.error(message)
[[noreturn]] void raise_struct_error(const char* message);

// ---- numbers --------------------------------------------------------------

// float(x): the interpreter's conversion (numeric strings included).
double to_float(py::handle x);
// round(x) of a double as an int; NaN and infinities fail as round() does.
py::object round_int(double x);
// int(x) of a double (truncation); NaN and infinities fail as int() does.
py::object trunc_int(double x);
// a / b, a * b ... through the number protocol.
py::object num_div(py::handle a, py::handle b);
py::object num_mul(py::handle a, py::handle b);
py::object num_sub(py::handle a, py::handle b);

// ---- packing --------------------------------------------------------------

// One list item as the interpreter's struct packer converts it; a value that
// is no integer or does not fit raises struct.error with the packer's text.
std::uint64_t pack_item(PyObject* item, words::Field f);

// One item of a command word: a plain integer while the value is an exact
// int that fits 64 bits (no Python object made for it), else the object
// itself, which the packer converts as struct does.
class CmdItem {
public:
    CmdItem() = default;
    CmdItem(std::int64_t v) : v_(v) {}  // NOLINT: items are mostly plain numbers
    CmdItem(int v) : v_(v) {}           // NOLINT
    CmdItem(py::object o);              // NOLINT
    py::object object() const;
    // The value as the field `f` holds it; out of range or no integer:
    // struct.error with the packer's text.
    std::uint64_t packed(words::Field f) const {
        if (!o_ && v_ >= 0 && static_cast<std::uint64_t>(v_) <= words::field_max(f))
            return static_cast<std::uint64_t>(v_);
        return packed_slow(f);
    }

private:
    std::uint64_t packed_slow(words::Field f) const;
    std::int64_t v_ = 0;
    py::object o_;
};

// The 32 bytes of a drive word from its seventeen items / the 16 bytes of a
// probe word from its eight items (the count is checked as the packer does).
py::bytes drive_bytes(PyObject* const* items, Py_ssize_t n);
py::bytes probe_bytes(PyObject* const* items, Py_ssize_t n);

// Command items of a record, produced by its C++ packer from the record's
// fields (read through `self`, directly where that is the same).
using DriveItems = std::array<CmdItem, words::kDriveItems>;
using ProbeItems = std::array<CmdItem, words::kProbeItems>;
using Self = const Instance&;
using DrivePacker = void (*)(Self self, DriveItems& out);
using ProbePacker = void (*)(Self self, ProbeItems& out);

// Packs the items into the word at dst (32 / 16 bytes), in item order, with
// the packer's checks.
void encode_drive_items(const DriveItems& items, std::uint8_t* dst);
void encode_probe_items(const ProbeItems& items, std::uint8_t* dst);

// a * k + add, plain for small ints (frame selectors).
CmdItem mul_add_small(py::handle a, long k, long add);

// Frequency and phase words; a word outside 32 bits is refused with
// OverflowError, a non-finite value with round()'s error.
CmdItem frequency_word(py::handle freq);
CmdItem phase_word(py::handle phase);

// Eight zeros (a tuple kept for the process): the reserved tail of a drive word.
PyObject* reserved_zeros();

// The static list2bytes of probe words (shared by _ProbeCommand and QInsCapture).
py::object probe_list2bytes(const Call& c);

template <typename Items>
py::list items_to_list(const Items& items) {
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (!l) throw py::error_already_set();
    py::list out = py::reinterpret_steal<py::list>(l);
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), items[i].object().release().ptr());
    return out;
}

// `_pack_cmd` of a record class whose items come from packer P: the list of
// the word's items.
template <typename Items, void (*P)(Self, Items&)>
py::object pack_cmd(const Call& c) {
    Instance self(self_only(c, "_pack_cmd").ptr());
    Items items;
    P(self, items);
    return items_to_list(items);
}

// Pairs `_pack_cmd` entries with their C++ packers, so that bytes(record)
// can encode straight from the packer when the record's `_check_attr`,
// `_pack_cmd` and `list2bytes` are all this module's own.
// A `constant` packer reads nothing of the record: its word is made once.
void pair_drive_packer(RawFn entry, DrivePacker p, bool constant);
void pair_probe_packer(RawFn entry, ProbePacker p, bool constant);

// Adds `_pack_cmd` from packer P to a record class being built.
template <DrivePacker P, bool Constant = false>
ClassBuilder& drive_packer(ClassBuilder& b) {
    constexpr MethodDef def = method<pack_cmd<DriveItems, P>>();
    pair_drive_packer(def.fn, P, Constant);
    return b.method("_pack_cmd", def);
}
template <ProbePacker P, bool Constant = false>
ClassBuilder& probe_packer(ClassBuilder& b) {
    constexpr MethodDef def = method<pack_cmd<ProbeItems, P>>();
    pair_probe_packer(def.fn, P, Constant);
    return b.method("_pack_cmd", def);
}

// bytes(rec) written straight into dst (room for 32 bytes), when rec's type
// and instance leave every step of it to this module: the size written, and
// the word itself when it is a constant one. Nothing (size 0, nothing
// written, no error) when the generic protocol must run instead.
// `inside_bytes`: the caller is the record's own __bytes__ already.
struct DirectWord {
    std::size_t size = 0;
    PyObject* constant = nullptr;
};
DirectWord direct_word(PyObject* rec, bool inside_bytes, std::uint8_t* dst);
// bytes(rec) of a probe-side record (a probe command or a capture) appended
// to out, under the same conditions; false when the generic protocol must run.
bool direct_probe_words(PyObject* rec, std::string& out);

// cls.__dict__[name], held for the process: a member the class defines itself.
PyObject* held_member(py::handle cls, const char* name);

// A fresh dict of the names to their numbers, in order.
py::dict name_table(std::initializer_list<std::pair<PyObject*, long long>> items);
// A fresh {"all": 3, "ad": 2, "da": 1}.
py::dict channel_flags();

// A record's __post_init__(self) setting `fields` on self in order; and the
// one of the jump records, which sets ins_idx to 0.
inline py::object post_init_fields(const Call& c, std::initializer_list<std::pair<PyObject*, py::handle>> fields) {
    py::handle self = self_only(c, "__post_init__");
    for (const auto& [name, value] : fields) setattr(self, name, value);
    return py::none();
}
py::object post_init_ins_idx(const Call& c);

// ---- registration, in class order -----------------------------------------

void register_config(py::module_& m);         // global_config ... HAS_WAVEFORM
void register_bases(py::module_& m);          // TVKCommand, _ProbeCommand
void register_drive_records(py::module_& m);  // the twelve drive records
void register_envelope(py::module_& m);       // QInsEnvelop
void register_capture(py::module_& m);        // QInsCapture and the probe commands

}  // namespace tvk::assembler
