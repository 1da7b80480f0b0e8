// What every tarvok extension module is made of: its entry point, the
// registry of objects it makes at init, and the helpers its init calls to
// make and bind its classes, so that an init reads as the list of what the
// module defines, in the order it defines it.
#pragma once

#include <initializer_list>
#include <type_traits>

#include "call.hpp"
#include "insides.hpp"
#include "instance_test.hpp"
#include "keep.hpp"
#include "pyclass.hpp"

namespace tvk {

// The objects a module makes or imports at init (classes, functions,
// constants), one struct of plain pointers per module, reached through the
// module's reg(). Each pointer holds a reference that is never released, and
// the struct is zero-filled before any code runs and has no destructor, so
// nothing here is destroyed after the interpreter is gone and reaching it
// costs no guard.
template <class R>
R& module_registry() {
    static_assert(std::is_trivial_v<R>, "a registry holds plain pointers only, zero until init sets them");
    static R r;
    return r;
}
// One member of a registry per name of a list: `LIST(TVK_REGISTRY_FIELD)`.
#define TVK_REGISTRY_FIELD(name) PyObject* name;
// registry.<name> = keep(owner, "<name>") for every name of LIST, in its order.
#define TVK_KEEP_EACH(registry, owner, LIST)             \
    do {                                                 \
        auto& tvk_kept_ = (registry);                    \
        ::pybind11::handle tvk_owner_ = (owner);         \
        LIST(TVK_KEEP_ONE_)                              \
    } while (false)
#define TVK_KEEP_ONE_(name) tvk_kept_.name = ::tvk::keep(tvk_owner_, #name);

// into[i] = keep(owner, names[i]) for every name, in order.
template <std::size_t N>
void keep_each(py::handle owner, PyObject* (&into)[N], const char* const (&names)[N]) {
    for (std::size_t i = 0; i < N; ++i) into[i] = keep(owner, names[i]);
}

// Binds `cls` as the module's attribute `name`; returns it, kept for the
// process (a registry may hold it whatever becomes of the attribute).
PyObject* publish(py::module_& m, const char* name, py::object cls);

// A class of `module` (its dotted name) over `bases` (null ones left out),
// whose members `fill(ClassBuilder&)` adds in their order; published as above.
template <class Fill>
PyObject* define_class(py::module_& m, const char* module, const char* name,
                       std::initializer_list<PyObject*> bases, Fill&& fill) {
    ClassBuilder b(name, module);
    for (PyObject* base : bases)
        if (base) b.base(base);
    fill(b);
    return publish(m, name, b.build());
}

// The module's __all__: `names` in their order; with `defined_only`, only
// those the module has by now.
void set_all(py::module_& m, std::initializer_list<const char*> names, bool defined_only = false);

}  // namespace tvk

// Module entry point of every tarvok extension module (the file that uses it
// includes <pybind11/pybind11.h>, which defines py::module_). Unlike
// PYBIND11_MODULE, an error raised while the module loads reaches the
// importer as itself (not wrapped into ImportError), through the one
// C++-to-Python translation point. First of all the module learns whether
// the interpreter's insides may be read (insides.hpp), and pins what its
// instance tests trust (instance_test.hpp).
#define TVK_MODULE(name, variable)                                                        \
    static void tvk_init_##name(::pybind11::module_& variable);                          \
    static ::pybind11::module_::module_def tvk_module_def_##name;                        \
    PYBIND11_PLUGIN_IMPL(name) {                                                          \
        PYBIND11_CHECK_PYTHON_VERSION                                                     \
        PYBIND11_ENSURE_INTERNALS_READY                                                   \
        ::tvk::insides::check_interpreter();                                              \
        auto tvk_m_ = ::pybind11::module_::create_extension_module(#name, nullptr,        \
                                                                    &tvk_module_def_##name); \
        try {                                                                             \
            ::tvk::prepare_instance_tests();                                              \
            tvk_init_##name(tvk_m_);                                                      \
            return tvk_m_.ptr();                                                          \
        } catch (...) {                                                                   \
            ::tvk::set_python_error_from_current_exception();                             \
            return nullptr;                                                               \
        }                                                                                 \
    }                                                                                     \
    void tvk_init_##name(::pybind11::module_& variable)
