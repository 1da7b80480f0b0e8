// self.visit(node) for the syntax-tree visitors (the kernel and the library
// hooks that lower a statement's body through it).
#pragma once

#include "call.hpp"
#include "pinned.hpp"

namespace tvk {

// self.visit(node): `own` (ast.NodeVisitor.visit, pinned as the module
// loaded, the same pin on every call of a module) done here while it is the
// one self's class uses and still runs its code, without a Python frame of
// its own; the recursion counts as the interpreter's visitor would count it.
// Otherwise self.visit(node).
py::object node_visit(py::handle self, py::handle node, const PinnedFunction& own);

}  // namespace tvk
