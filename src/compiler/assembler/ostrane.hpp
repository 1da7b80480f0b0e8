// Shared declarations of module tarvok.compiler.ostrane: the objects made at
// module init and the helpers the record and assembler files use.
#pragma once

#include <array>
#include <string>

#include "common/common.hpp"
#include "common/dataclass.hpp"
#include "words.hpp"

namespace tvk::ostrane {

inline constexpr const char* kModule = "tarvok.compiler.ostrane";

// Objects made at module init. Plain pointers kept alive by the module (as
// attributes or inside its classes) or leaked on purpose, so nothing here is
// destroyed after the interpreter is gone.
struct Registry {
    PyObject* module_dict = nullptr;
    PyObject* ndarray = nullptr;     // numpy.ndarray
    PyObject* np_uint32 = nullptr;   // numpy.uint32
    PyObject* struct_error = nullptr;
    PyObject* AssemblyError = nullptr;
    PyObject* GenTagMixin = nullptr;
    PyObject* QNumber = nullptr;
    PyObject* TVKCommand = nullptr;
    PyObject* ProbeCommand = nullptr;  // _ProbeCommand
    PyObject* QInsWait = nullptr;
    PyObject* QInsPlayWave = nullptr;
    PyObject* QInsFrame = nullptr;
    PyObject* QInsJump = nullptr;
    PyObject* QInsIncPhase = nullptr;
    PyObject* QInsJumpWithReg = nullptr;
    PyObject* QInsJumpWithJudge = nullptr;
    PyObject* QInsResetF = nullptr;
    PyObject* QInsMov = nullptr;
    PyObject* QInsPlayZero = nullptr;
    PyObject* QInsWaitTrig = nullptr;
    PyObject* QInsEnd = nullptr;
    PyObject* QInsEnvelop = nullptr;
    PyObject* QInsCapture = nullptr;
    PyObject* QInsPTrigDelay = nullptr;  // _QInsPTrigDelay
    PyObject* QInsPWaitTrig = nullptr;   // _QInsPWaitTrig
    PyObject* QInsPJump = nullptr;       // _QInsPJump
};
Registry& reg();

// Binds a class made at init as a module attribute and returns it (borrowed,
// the module keeps it).
PyObject* publish(py::module_& m, const char* name, py::object cls);

// ---- configuration --------------------------------------------------------

// global_config[key], looking up the module's dictionary and the key at the
// moment of the call, as a module-level reader in Python does: a rebound or
// deleted global_config and a missing key fail like there.
// The module's global_config as it is bound now.
py::object global_config_obj();
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
// a * k + add, with a fast path for plain small ints (frame selectors).
py::object mul_add_small(py::handle a, long k, long add);

// Frequency and phase words as Python ints; a word outside 32 bits is
// refused with OverflowError, a non-finite value with round()'s error.
py::object frequency_word(py::handle freq);
py::object phase_word(py::handle phase);

// ---- packing --------------------------------------------------------------

// One list item as the interpreter's struct packer converts it; a value that
// is no integer or does not fit raises struct.error with the packer's text.
std::uint64_t pack_item(PyObject* item, words::Field f);

// The 32 bytes of a drive word from its seventeen items / the 16 bytes of a
// probe word from its eight items (the count is checked as the packer does).
py::bytes drive_bytes(PyObject* const* items, Py_ssize_t n);
py::bytes probe_bytes(PyObject* const* items, Py_ssize_t n);

// Command items of a record, produced by its C++ packer.
using DriveItems = std::array<py::object, words::kDriveItems>;
using ProbeItems = std::array<py::object, words::kProbeItems>;
using DrivePacker = void (*)(py::handle self, DriveItems& out);
using ProbePacker = void (*)(py::handle self, ProbeItems& out);

// Eight zeros (a tuple kept for the process): the reserved tail of a drive word.
PyObject* reserved_zeros();

// The static list2bytes of probe words (shared by _ProbeCommand and QInsCapture).
py::object probe_list2bytes(const Call& c);

py::list items_to_list(py::object* items, std::size_t n);

// `_pack_cmd` of a record class whose items come from packer P: the list of
// the word's items.
template <typename Items, void (*P)(py::handle, Items&)>
py::object pack_cmd(const Call& c) {
    static const Signature sig("_pack_cmd", {"self"}, 1);
    auto a = bind<1>(sig, c);
    Items items;
    P(a[0], items);
    return items_to_list(items.data(), items.size());
}
template <DrivePacker P>
constexpr auto drive_pack_cmd = &pack_cmd<DriveItems, P>;
template <ProbePacker P>
constexpr auto probe_pack_cmd = &pack_cmd<ProbeItems, P>;

// Pairs a built record class's `_pack_cmd` with its C++ packer, so that
// bytes(record) can encode straight from the packer when the record's
// `_check_attr`, `_pack_cmd` and `list2bytes` are all this module's own.
void pair_drive_packer(py::handle cls, DrivePacker p);
void pair_probe_packer(py::handle cls, ProbePacker p);

// A fresh {"all": 3, "ad": 2, "da": 1}.
py::dict channel_flags();

// ---- registration, in class order -----------------------------------------

void register_config(py::module_& m);         // global_config ... HAS_WAVEFORM
void register_bases(py::module_& m);          // TVKCommand, _ProbeCommand
void register_drive_records(py::module_& m);  // the twelve drive records
void register_envelope(py::module_& m);       // QInsEnvelop
void register_capture(py::module_& m);        // QInsCapture and the probe commands

}  // namespace tvk::ostrane
