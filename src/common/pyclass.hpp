// Creating real Python classes from C++: the namespace is filled with members
// bound as METH_FASTCALL functions, then the metaclass itself is called, so
// the result is an ordinary heap class (subclassable, open __dict__, copyable,
// seen by the cycle collector).
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "call.hpp"
#include "helptext.hpp"

namespace tvk {

class ClassBuilder {
public:
    // `module` is the dotted module name (stored as __module__); `qualname`
    // defaults to `name`.
    ClassBuilder(std::string name, std::string module, std::string qualname = {});

    ClassBuilder& base(py::handle cls);
    ClassBuilder& metaclass(py::handle meta);

    // help() texts of the members added after this call that are given no
    // doc of their own, by member name. build() refuses an entry that names
    // no member, so the table cannot outlive a renamed or removed member.
    template <size_t N>
    ClassBuilder& docs(const MemberDoc (&table)[N]) {
        for (const MemberDoc& d : table) docs_[d.name] = {signed_doc(d.name, d.signature, d.text), false};
        return *this;
    }
    // The table's text for `name` (marked as used), or `doc` when given.
    const char* doc_for(const char* name, const char* doc = nullptr);

    // Instance method under its exact Python name, dunders included.
    ClassBuilder& method(const char* name, MethodDef def, const char* doc = nullptr);
    // Abstract method (abc sees __isabstractmethod__); its body stays callable.
    ClassBuilder& abstract_method(const char* name, MethodDef def, const char* doc = nullptr);
    ClassBuilder& staticmethod(const char* name, MethodDef def, const char* doc = nullptr);
    // A class method receives the class as args[0].
    ClassBuilder& classmethod(const char* name, MethodDef def, const char* doc = nullptr);

    // builtins.property over bound getter (and setter).
    ClassBuilder& property(const char* name, GetterDef get, const char* doc = nullptr);
    ClassBuilder& property(const char* name, GetterDef get, SetterDef set,
                           const char* doc = nullptr);
    ClassBuilder& abstract_property(const char* name, GetterDef get, const char* doc = nullptr);

    // Any other namespace entry (class attributes, nested classes,
    // __annotations__, __slots__ ...). Entries keep their insertion order.
    ClassBuilder& attr(const char* name, py::handle value);

    // The namespace's cell, for members made by hand with make_cfunction.
    py::handle cell() const { return cell_; }

    // Calls metaclass(name, bases, namespace) and fills the members' cell with
    // the new class. When no metaclass is given the bases' one is used.
    py::object build();

private:
    std::string name_, module_, qualname_;
    std::vector<py::object> bases_;
    py::object meta_;
    py::list cell_;
    py::dict ns_;
    std::map<std::string, std::pair<std::string, bool>> docs_;  // text, used
};

// Wraps a callable so that abc treats it as abstract (__isabstractmethod__ is
// True) while it still binds and calls like a method.
py::object make_abstract(py::handle callable);

// The next class after `defining_class` in type(self).__mro__ that defines
// `name`, bound to self (what super(defining_class, self).name gives);
// raises AttributeError when there is none.
py::object super_attr(py::handle defining_class, py::handle self, PyObject* name);

// Runs the next __init__ of self's MRO after `defining_class` with no
// positional argument and the given keywords.
void call_next_init(py::handle defining_class, py::handle self, py::handle kwargs);

// An __init__(self) that only runs the next __init__ of the MRO (after the
// class the member was defined on); gives self for what the caller adds.
py::handle init_self_only(const Call& c);
// The same as a whole __init__ member (returns None).
py::object init_only(const Call& c);

// An enum.IntFlag class with the given members in order.
py::object make_int_flag(const char* name, const char* module, const char* qualname,
                         std::initializer_list<std::pair<const char*, long long>> members);

// A new exception class `module.name` with the given base.
py::object make_exception(const char* name, const char* module, py::handle base);

// The module's dotted name, e.g. "tarvok.zelvo._ir".
std::string module_name(const py::module_& m);

}  // namespace tvk
