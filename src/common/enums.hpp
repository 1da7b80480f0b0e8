// Enumeration classes of the enum module, made from C++ with their members
// in order.
#pragma once

#include <initializer_list>
#include <utility>

#include "call.hpp"

namespace tvk {

// enum.<kind>(name, members, module=module, qualname=qualname), `kind` being
// "IntEnum", "IntFlag" or another class of the enum module.
py::object make_enum_class(const char* kind, const char* name, const char* module, const char* qualname,
                           std::initializer_list<std::pair<const char*, long long>> members);

// An enum.IntEnum class with the given members in order.
inline py::object make_int_enum(const char* name, const char* module, const char* qualname,
                                std::initializer_list<std::pair<const char*, long long>> members) {
    return make_enum_class("IntEnum", name, module, qualname, members);
}

}  // namespace tvk
