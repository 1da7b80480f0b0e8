#include "enums.hpp"

#include <pybind11/pybind11.h>

namespace tvk {

py::object make_enum_class(const char* kind, const char* name, const char* module, const char* qualname,
                           std::initializer_list<std::pair<const char*, long long>> members) {
    py::list items;
    for (auto& [k, v] : members) items.append(py::make_tuple(py::str(k), py::int_(v)));
    py::object cls = py::module_::import("enum").attr(kind);
    using namespace pybind11::literals;
    return cls(py::str(name), items, "module"_a = module, "qualname"_a = qualname);
}

}  // namespace tvk
