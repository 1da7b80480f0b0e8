// The passes test every instruction against a few category classes with
// is_instance (instance_memo.hpp). Those are ABCs, whose answers cost a trip through
// ABCMeta; inside an InstanceTestScope the answer for a class made by
// abc.ABCMeta itself is remembered per (type, class) for as long as neither
// class nor ABCMeta changes (their version tags) and no ABC registers a
// subclass (the ABC cache token, read when the outermost scope opens).
// Answers stay exact unless code run from inside a scope registers a virtual
// subclass that changes one of them. Outside a scope, and for any other
// class, it is the interpreter's own test.
#pragma once

#include "pyops.hpp"

namespace tvk {

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
