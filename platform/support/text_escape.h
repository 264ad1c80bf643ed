// Text that reaches a terminal: control characters shown as \xNN, so names
// and texts from product files can never move the cursor, retitle the
// window or rewrite a line.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace orv {

// Bytes below 0x20 and 0x7F are control characters; the rest is shown as is.
inline bool printable(unsigned char c) {
    return c >= 0x20 && c != 0x7F;
}

inline std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (printable(c)) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace orv
