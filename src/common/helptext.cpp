#include "helptext.hpp"

namespace tvk {

namespace {
constexpr std::string_view kEnd = "\n--\n\n";
}

std::string signed_doc(const char* name, const char* signature, const char* text) {
    if (!signature) return text;
    std::string s(name);
    s += signature;
    s += kEnd;
    s += text;
    return s;
}

SplitDoc split_doc(std::string_view name, std::string_view doc) {
    // The interpreter's rule: the text starts with the member's name and an
    // opening parenthesis, and the signature ends at ")\n--\n\n".
    if (doc.size() <= name.size() || doc.compare(0, name.size(), name) != 0 || doc[name.size()] != '(')
        return {{}, doc};
    std::string_view rest = doc.substr(name.size());
    size_t end = rest.find(kEnd);
    if (end == std::string_view::npos || end == 0 || rest[end - 1] != ')') return {{}, doc};
    return {rest.substr(0, end), rest.substr(end + kEnd.size())};
}

}  // namespace tvk
