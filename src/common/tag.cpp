#include "tag.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <array>
#include <cstdint>
#include <cstring>

#include <cerrno>
#include <stdexcept>

#include "direct.hpp"
#include "pyclass.hpp"

namespace tvk {

namespace {
// Tags only need to differ, not to be unguessable: a xoshiro256** stream
// seeded from the kernel's random source gives them for a few instructions
// each, where reading the kernel's source per tag cost more than the rest of
// making an instruction. A forked child seeds afresh, so parent and child
// never share tags.
struct Stream {
    std::uint64_t s[4] = {0, 0, 0, 0};
    bool seeded = false;
};
Stream& stream() {
    static Stream* p = [] {
        auto* fresh = new Stream();
        pthread_atfork(nullptr, nullptr, [] { stream().seeded = false; });
        return fresh;
    }();
    return *p;
}

void seed(Stream& st) {
    auto* out = reinterpret_cast<unsigned char*>(st.s);
    size_t got = 0;
    while (got < sizeof st.s) {
        ssize_t r = getrandom(out + got, sizeof st.s - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("no random source for tags");
        }
        got += static_cast<size_t>(r);
    }
    // An all-zero state would stay zero.
    if (!(st.s[0] | st.s[1] | st.s[2] | st.s[3])) st.s[0] = 0x9E3779B97F4A7C15ull;
    st.seeded = true;
}

inline std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// 64 random bits.
std::uint64_t next_bits() {
    Stream& st = stream();
    if (__builtin_expect(!st.seeded, 0)) seed(st);
    std::uint64_t* s = st.s;
    const std::uint64_t result = rotl(s[1] * 5, 7) * 9;
    const std::uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

// The five bytes of a tag, first byte first.
void tag_bytes(unsigned char (&b)[5]) {
    const std::uint64_t r = next_bits();
    for (int i = 0; i < 5; ++i) b[i] = static_cast<unsigned char>(r >> (8 * i));
}
}  // namespace

std::string new_tag() {
    // Only the first five bytes of the UUID reach the tag: its version and
    // variant bits sit past the tenth hex digit, so the tag is all random.
    unsigned char b[5];
    tag_bytes(b);
    static const char* hexd = "0123456789abcdef";
    std::string out(10, '0');
    for (int i = 0; i < 10; ++i) {
        unsigned char byte = b[i / 2];
        out[i] = hexd[(i % 2 == 0) ? (byte >> 4) : (byte & 15)];
    }
    return out;
}

py::object new_tag_str() {
    // The same ten digits as new_tag(), written straight into a new str, two
    // at a time.
    static const auto pairs = [] {
        std::array<char[2], 256> t{};
        static const char* hexd = "0123456789abcdef";
        for (int i = 0; i < 256; ++i) {
            t[static_cast<std::size_t>(i)][0] = hexd[i >> 4];
            t[static_cast<std::size_t>(i)][1] = hexd[i & 15];
        }
        return t;
    }();
    unsigned char b[5];
    tag_bytes(b);
    PyObject* s = PyUnicode_New(10, 127);
    if (!s) throw py::error_already_set();
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s));
    for (int i = 0; i < 5; ++i) std::memcpy(out + 2 * i, pairs[b[i]], 2);
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

namespace {
bool tag_source_resolves(PyTypeObject* tp, const PinnedFunction& property) {
    const Step step = own_object(TVK_NAME("generate_tag"), property);
    Member member;
    return generic_attributes(tp) && detail::type_resolves(tp, &step, 1, &member);
}
}  // namespace

bool own_tag_source(PyTypeObject* tp, const PinnedFunction& property) {
    // Each module links this layer and asks about its one mixin's property:
    // the answer is kept per type for that property; any other is tested
    // afresh.
    static const PinnedFunction* const first = &property;
    if (!property.unchanged()) return false;
    if (&property != first) return tag_source_resolves(tp, property);
    static TypeMemo<bool, 64> memo;
    return memo.get(tp, [](PyTypeObject* t) { return tag_source_resolves(t, *first); });
}

py::object generate_tag_of(py::handle self, const PinnedFunction& property) {
    if (own_tag_source(Py_TYPE(self.ptr()), property)) return new_tag_str();
    return read_attr(self, TVK_NAME("generate_tag"));
}

}  // namespace tvk
