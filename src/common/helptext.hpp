// help() texts of builtins in the interpreter's own form,
// "name(signature)\n--\n\ndescription": the interpreter splits it into
// __text_signature__ (read by inspect.signature() and help()) and __doc__.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tvk {

// The help() text of one member: `signature` as inspect.signature() shows
// the unbound member (self or cls first for methods), nullptr for a member
// without one (a property); `text` says what it does.
struct MemberDoc {
    const char* name;
    const char* signature;
    const char* text;
};

// "name(signature)\n--\n\ntext", or `text` alone without a signature.
std::string signed_doc(const char* name, const char* signature, const char* text);

// The two halves of a text made by signed_doc for a member called `name`:
// the signature ("(a, b=1)") and the description. A text in any other form
// has no signature and is its own description.
struct SplitDoc {
    std::string_view signature;
    std::string_view text;
};
SplitDoc split_doc(std::string_view name, std::string_view doc);

}  // namespace tvk
