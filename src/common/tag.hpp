// Tags: ten random lower-case hex digits, the head of a fresh version-4 UUID.
#pragma once

#include <string>

#include "call.hpp"

namespace tvk {

// Python-free: ten hex digits from a new random version-4 UUID.
std::string new_tag();
py::object new_tag_str();

// The GenTagMixin class of a module: base object, one read-only property
// `generate_tag` that gives a new tag at every read.
py::object make_gen_tag_mixin(const char* module);

}  // namespace tvk
