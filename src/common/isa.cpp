#include "isa.hpp"

#include <stdexcept>

namespace tvk {

namespace {
inline std::size_t slot_of(PyTypeObject* tp, std::size_t mask) {
    auto p = reinterpret_cast<std::uintptr_t>(tp);
    return static_cast<std::size_t>((p >> 4) ^ (p >> 12)) & mask;
}
}  // namespace

TypeMemo::~TypeMemo() {
    for (auto& e : slots_) Py_XDECREF(reinterpret_cast<PyObject*>(e.type));
}

const std::uint64_t* TypeMemo::find(PyTypeObject* tp) const {
    if (slots_.empty()) return nullptr;
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(tp, mask);; i = (i + 1) & mask) {
        const Entry& e = slots_[i];
        if (e.type == tp) return &e.value;
        if (e.type == nullptr) return nullptr;
    }
}

void TypeMemo::put(PyTypeObject* tp, std::uint64_t value) {
    if ((used_ + 1) * 2 > slots_.size()) {
        std::vector<Entry> old(slots_.empty() ? 64 : slots_.size() * 2, Entry{nullptr, 0});
        old.swap(slots_);
        std::size_t mask = slots_.size() - 1;
        for (auto& e : old) {
            if (!e.type) continue;
            std::size_t i = slot_of(e.type, mask);
            while (slots_[i].type) i = (i + 1) & mask;
            slots_[i] = e;
        }
    }
    std::size_t mask = slots_.size() - 1;
    std::size_t i = slot_of(tp, mask);
    while (slots_[i].type && slots_[i].type != tp) i = (i + 1) & mask;
    if (!slots_[i].type) {
        Py_INCREF(reinterpret_cast<PyObject*>(tp));
        ++used_;
    }
    slots_[i] = Entry{tp, value};
}

bool class_is_type(PyObject* obj) {
    static PyObject* const object_class = _PyType_Lookup(&PyBaseObject_Type, TVK_NAME("__class__"));
    PyTypeObject* tp = Py_TYPE(obj);
    return tp->tp_getattro == PyObject_GenericGetAttr &&
           _PyType_Lookup(tp, TVK_NAME("__class__")) == object_class;
}

ClassTests::ClassTests(std::initializer_list<PyObject*> classes) : ClassTests(classes.begin(), classes.size()) {}

ClassTests::ClassTests(PyObject* const* classes, std::size_t n) : classes_(classes, classes + n) {
    if (n > 32) throw std::invalid_argument("ClassTests: more than 32 classes");
}

std::uint32_t ClassTests::mask(py::handle obj, std::uint32_t wanted) {
    PyTypeObject* tp = Py_TYPE(obj.ptr());
    const std::uint64_t* entry = memo_.find(tp);
    std::uint32_t known = entry ? static_cast<std::uint32_t>(*entry >> 32) : 0;
    std::uint32_t bits = entry ? static_cast<std::uint32_t>(*entry) : 0;
    std::uint32_t missing = wanted & ~known;
    if (!missing) return bits & wanted;
    for (std::size_t k = 0; k < classes_.size(); ++k) {
        std::uint32_t bit = std::uint32_t{1} << k;
        if (!(missing & bit)) continue;
        int r = PyObject_IsInstance(obj.ptr(), classes_[k]);
        if (r < 0) throw py::error_already_set();
        if (r) bits |= bit;
    }
    // An object that reports another __class__ is asked every time.
    if (class_is_type(obj.ptr())) memo_.put(tp, (std::uint64_t{known | missing} << 32) | bits);
    return bits & wanted;
}

}  // namespace tvk
