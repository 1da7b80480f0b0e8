// Fields of an instance whose attributes are still kept inline. The
// interpreter (3.11) keeps an instance's attributes in a values array indexed
// by the shared keys of its class until someone asks for its __dict__ (so a
// new instance always has them so); a field is then stored straight into its
// slot, as the interpreter's own store would put it there. Everything else
// (another interpreter, a class with a __setattr__ or a data descriptor of
// that name, a dict already made, a name the shared keys do not hold yet) is
// the interpreter's setattr.
#pragma once

#include <array>
#include <initializer_list>

#include "call.hpp"
#include "direct.hpp"

namespace tvk {

// A fixed run of fields, set in order (by a constructor, by a pass). Where
// each one's slot is for a class is remembered while the class keeps its
// version tag (which also keeps its attributes as they were) and each of
// its attributes of those names keeps its kind (its type could gain
// __set__ without the class's tag changing).
class InlineFields {
public:
    static constexpr int kMax = 8;
    explicit InlineFields(std::initializer_list<const char*> names);
    // obj.<names[i]> = values[i], in order; values borrowed.
    void set(PyObject* obj, std::initializer_list<PyObject*> values);

private:
    // Attributes of the class under the fields' names whose kind may change
    // are few (methods and plain values are of settled kinds): a plan keeps
    // at most kWatched of them, a class with more takes the generic stores.
    static constexpr int kWatched = 2;
    // Slots of shared keys are below 30 (the most names they hold): a byte
    // each keeps a plan small enough to copy for every store.
    struct Plan {
        PyTypeObject* tp = nullptr;
        unsigned version = 0;
        std::array<unsigned char, kMax> slots{};
        int n_watched = 0;
        std::array<AttrKind, kWatched> watched{};
        // The class keeps its tag and its attributes their kinds.
        bool holds(PyTypeObject* t) const {
            if (type_version(t) != version) return false;
            for (int i = 0; i < n_watched; ++i)
                if (!watched[static_cast<std::size_t>(i)].holds()) return false;
            return true;
        }
    };
    enum class Found { None, Kept, Made };
    // The plan for tp into `out` (a copy: the memo may be overwritten by
    // code that runs later): Kept from the memo, Made afresh (by lookups,
    // after which the instance is asked again), or None when the generic
    // store must do.
    Found plan(PyTypeObject* tp, Plan& out);
    std::array<PyObject*, kMax> names_{};
    int count_ = 0;
    std::array<Plan, 64> plans_{};
};

}  // namespace tvk
