// Names that compare without regard to ASCII case, as registry key and value
// names do: 'a' to 'z' fold to 'A' to 'Z'; bytes from 0x80 up compare exactly.
#pragma once

#include <string>
#include <string_view>

namespace orv {

inline char foldAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The name with every ASCII letter upper-cased.
inline std::string foldAscii(std::string_view name) {
    std::string folded(name);
    for (char &c : folded) c = foldAscii(c);
    return folded;
}

inline bool sameAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    }
    return true;
}

}  // namespace orv
