// Module entry point of every tarvok extension module. Unlike
// PYBIND11_MODULE, an error raised while the module loads reaches the
// importer as itself (not wrapped into ImportError), through the one
// C++-to-Python translation point. First of all the module learns whether
// the interpreter's insides may be read (insides.hpp).
#pragma once

#include "call.hpp"
#include "insides.hpp"

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
            tvk_init_##name(tvk_m_);                                                      \
            return tvk_m_.ptr();                                                          \
        } catch (...) {                                                                   \
            ::tvk::set_python_error_from_current_exception();                             \
            return nullptr;                                                               \
        }                                                                                 \
    }                                                                                     \
    void tvk_init_##name(::pybind11::module_& variable)
