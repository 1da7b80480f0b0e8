// Tags: ten random lower-case hex digits, the head of a fresh version-4 UUID.
#pragma once

#include <string>

#include "call.hpp"
#include "pinned.hpp"

namespace tvk {

// Python-free: ten hex digits from a new random version-4 UUID.
std::string new_tag();
py::object new_tag_str();

// The GenTagMixin class of a module: base object, one read-only property
// `generate_tag` that gives a new tag at every read.
py::object make_gen_tag_mixin(const char* module);

// self.generate_tag, a new tag drawn directly while `property` (a mixin's
// generate_tag, pinned by the caller for the process) is what the type of
// self gives for it through generic attribute access (the property is a data
// descriptor: no instance attribute can hide it).
bool own_tag_source(PyTypeObject* tp, const PinnedFunction& property);
py::object generate_tag_of(py::handle self, const PinnedFunction& property);

}  // namespace tvk
