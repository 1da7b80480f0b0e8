// The passes test every instruction against a few category classes with
// is_instance (instance_memo.hpp). Those are ABCs, whose answers cost a trip through
// ABCMeta; inside an InstanceTestScope the answer for a class made by
// abc.ABCMeta itself is remembered per (type, class) for as long as neither
// class nor ABCMeta changes (their version tags) and no ABC registers a
// subclass (the ABC cache token, read when the outermost scope opens).
// ABCMeta's own checks are pinned as the module loads (abc_checks): while
// either runs other code (a replaced __code__), a scope keeps nothing.
// Answers stay exact unless code run from inside a scope registers a virtual
// subclass that changes one of them (or replaces the code of those checks).
// Outside a scope, and for any other class, it is the interpreter's own test.
#pragma once

#include "pyops.hpp"

namespace tvk {

// Keeps what the memo needs from abc and pins ABCMeta's checks; called as
// each module loads.
void prepare_instance_tests();
// ABCMeta's checks still run the code they were pinned with, so that
// instances of one type get one answer from a class that ABCMeta made.
bool abc_checks_unchanged();

class InstanceTestScope {
public:
    InstanceTestScope();
    ~InstanceTestScope();
    InstanceTestScope(const InstanceTestScope&) = delete;
    InstanceTestScope& operator=(const InstanceTestScope&) = delete;
};

// A bound member whose body runs inside a scope.
template <MethodFn F>
py::object with_instance_cache(const Call& c) {
    InstanceTestScope scope;
    return F(c);
}

}  // namespace tvk
