// A C++ step that recurses through the interpreter (a visitor lowering nested
// statements) counts against the recursion limit, so deep input ends in
// RecursionError rather than in a C stack overflow.
#pragma once

#include "call.hpp"

namespace tvk {

class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace tvk
