// A class's members kept as one table: an X-macro list of
// X(kind, "python name", function) entries in the order of the class
// namespace. LIST(TVK_DECLARE_MEMBER) declares the functions, where the
// module's header holds the list; LIST(TVK_ADD_MEMBER) adds them to the
// ClassBuilder `b` in scope, where the class is built. A new member is one
// entry plus its definition.
//
// Kinds: method, staticmethod, classmethod (py::object f(const Call&)),
// property (a getter, py::object f(py::handle)), and members, a group that
// adds members of its own (void f(ClassBuilder&); the name is left unused).
#pragma once

#include "call.hpp"
#include "pyclass.hpp"

#define TVK_DECLARE_MEMBER(kind, name, fn) TVK_DECLARE_##kind##_(fn)
#define TVK_DECLARE_method_(fn) ::pybind11::object fn(const ::tvk::Call& c);
#define TVK_DECLARE_staticmethod_(fn) TVK_DECLARE_method_(fn)
#define TVK_DECLARE_classmethod_(fn) TVK_DECLARE_method_(fn)
#define TVK_DECLARE_property_(fn) ::pybind11::object fn(::pybind11::handle self);
#define TVK_DECLARE_members_(fn) void fn(::tvk::ClassBuilder& b);

#define TVK_ADD_MEMBER(kind, name, fn) TVK_ADD_##kind##_(name, fn)
#define TVK_ADD_method_(name, fn) b.method(name, ::tvk::method<fn>());
#define TVK_ADD_staticmethod_(name, fn) b.staticmethod(name, ::tvk::method<fn>());
#define TVK_ADD_classmethod_(name, fn) b.classmethod(name, ::tvk::method<fn>());
#define TVK_ADD_property_(name, fn) b.property(name, ::tvk::getter<fn>());
#define TVK_ADD_members_(name, fn) fn(b);
