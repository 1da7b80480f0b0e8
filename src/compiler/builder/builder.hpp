// Shared declarations of module tarvok.compiler.zel_wave: the objects made at
// module init and the helpers the handle, queue and block files use.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "common/kit.hpp"
#include "common/dataclass.hpp"

namespace tvk::builder {

inline constexpr const char* kModule = "tarvok.compiler.zel_wave";

// The module's registry (common/module.hpp).
struct Registry {
    PyObject* module_dict;
    PyObject* GenTagMixin;   // ostrane's, the base of handles and queues
    PinnedFunction generate_tag;  // its property, to draw tags directly when not overridden
    PyObject* ostrane_dict;  // the assembler module's namespace, for its global_config
};
inline Registry& reg() { return module_registry<Registry>(); }

// A module global read at the moment of use, as Python code reads it: the
// records of ostrane (imported into this module), the builder's own classes,
// HAS_WAVEFORM, wf and np. A patched or replaced name is honoured.
py::object global(PyObject* name);

// ---- small object helpers --------------------------------------------------

// obj.name, or `fallback` when reading it raises AttributeError.
py::object getattr_or(py::handle obj, PyObject* name, py::handle fallback);
// A tuple of interned names, made once per call site and kept.
PyObject* make_kwnames(std::initializer_list<const char*> names);
// type(obj) as an object.
inline py::handle type_of(py::handle obj) {
    return py::handle(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
}

// self.generate_tag: drawn directly unless the object's class replaced it.
py::object fresh_tag(py::handle self);
inline py::object tag_of(py::handle rec) { return getattr(rec, TVK_NAME("tag")); }

// A new record of the ostrane class named `cls_name` (read from this module's
// namespace), built by keyword.
py::object new_record(PyObject* cls_name, PyObject* kwnames, std::initializer_list<py::handle> values);
// cls(tag=self.generate_tag), for the records whose only field is the tag.
py::object new_tagged(PyObject* cls_name, py::handle self);
// QInsWait(tag=self.generate_tag).
inline py::object new_wait(py::handle self) { return new_tagged(TVK_NAME("QInsWait"), self); }

// The block's `channel`, refused with a clear message when the block was made
// through its constructor alone (no channel, so no register table).
py::object block_channel(py::handle block);
// True for an InsIF, InsElse or InsLoop (or a subclass): a block whose
// variables live in its channel's table.
bool is_block(py::handle queue);

// ---- compiling ---------------------------------------------------------------

// The flat command list under construction, passed down the block tree.
using Out = std::vector<py::object>;

// Appends what queue._compile() gives, calling this module's own layouts
// directly (no list per level) and any other _compile through the object.
void compile_into(py::handle queue, Out& out);
// InstructionQ._compile: copies of the queue's records, nested blocks laid
// out in line.
void flatten_into(py::handle queue, Out& out);
// InsIF._compile and InsLoop._compile (blocks.cpp).
void if_layout_into(py::handle block, Out& out);
void loop_layout_into(py::handle block, Out& out);
py::list to_list(Out& out);

// The _compile method of a layout: its records as a new list.
template <void (*Layout)(py::handle, Out&)>
py::object compile_method(const Call& c) {
    static const Signature sig("_compile", {"self"}, 1);
    auto a = bind<1>(sig, c);
    Out out;
    Layout(a[0], out);
    return to_list(out);
}

// Runs the next constructor of the MRO with freqs and envelopes (channel.cpp):
// a channel's own, then a block's.
void next_init(const Call& c, py::handle self, py::handle freqs, py::handle envelopes);

// ---- registration, in class order ----------------------------------------------

void register_imports(py::module_& m);  // copy, np, wf / HAS_WAVEFORM, ostrane's names
void register_handles(py::module_& m);  // QInsPlaceholder, Wave, Frame, Envelope, Signal
void register_queue(py::module_& m);    // InstructionQ
void register_channel(py::module_& m);  // InsChannel
void register_blocks(py::module_& m);   // InsIF, InsElse, InsLoop

// Members of InstructionQ defined in their own files, added in class order.
void add_shape_methods(ClassBuilder& b);    // evlp_gaussian, evlp_cospulse, evlp_square
void add_compile_methods(ClassBuilder& b);  // _compile, compile, lookup

}  // namespace tvk::builder
