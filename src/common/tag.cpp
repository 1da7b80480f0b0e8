#include "tag.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <cstring>

#include <cerrno>
#include <stdexcept>

#include "direct.hpp"
#include "pyclass.hpp"

namespace tvk {

namespace {
// Random bytes drawn from the kernel in blocks: one system call per many
// tags. A forked child drops the parent's block so the two never share tags.
struct Pool {
    unsigned char bytes[4096];
    size_t pos = sizeof bytes;
};
Pool& pool() {
    static Pool* p = [] {
        auto* fresh = new Pool();
        pthread_atfork(nullptr, nullptr, [] { pool().pos = sizeof(Pool::bytes); });
        return fresh;
    }();
    return *p;
}

void random_bytes(unsigned char* out, size_t n) {
    Pool& p = pool();
    if (p.pos + n > sizeof p.bytes) {
        size_t got = 0;
        while (got < sizeof p.bytes) {
            ssize_t r = getrandom(p.bytes + got, sizeof p.bytes - got, 0);
            if (r < 0) {
                if (errno == EINTR) continue;
                throw std::runtime_error("no random source for tags");
            }
            got += static_cast<size_t>(r);
        }
        p.pos = 0;
    }
    std::memcpy(out, p.bytes + p.pos, n);
    p.pos += n;
}
}  // namespace

std::string new_tag() {
    unsigned char b[16] = {};
    // Only the first five bytes reach the tag; the rest keep the UUID shape.
    random_bytes(b, 5);
    // Version-4 UUID: the version and variant bits sit past the tenth hex
    // digit, so the tag itself is all random.
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    static const char* hexd = "0123456789abcdef";
    std::string out(10, '0');
    for (int i = 0; i < 10; ++i) {
        unsigned char byte = b[i / 2];
        out[i] = hexd[(i % 2 == 0) ? (byte >> 4) : (byte & 15)];
    }
    return out;
}

py::object new_tag_str() {
    std::string t = new_tag();
    PyObject* s = PyUnicode_FromStringAndSize(t.data(), static_cast<Py_ssize_t>(t.size()));
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

namespace {
py::object generate_tag_get(py::handle) { return new_tag_str(); }
}  // namespace

py::object make_gen_tag_mixin(const char* module) {
    return ClassBuilder("GenTagMixin", module)
        .property("generate_tag", getter<generate_tag_get>())
        .build();
}

bool own_tag_source(PyTypeObject* tp, PyObject* property) {
    // The gate's own test, without a memo: the property differs by module.
    const Step step = own_object(TVK_NAME("generate_tag"), property);
    Member member;
    return generic_attributes(tp) && detail::type_resolves(tp, &step, 1, &member);
}

py::object generate_tag_of(py::handle self, PyObject* property) {
    if (own_tag_source(Py_TYPE(self.ptr()), property)) return new_tag_str();
    return read_attr(self, TVK_NAME("generate_tag"));
}

}  // namespace tvk
