// Reading the tools' --json documents back.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace json_bytes {

// The bytes a JSON byte string carries: a string its UTF-8, {"hex": ...} the
// bytes its hex digits give.
inline std::string carried(const nlohmann::json &j) {
    if (j.is_string()) return j.get<std::string>();
    std::string hex = j.at("hex").get<std::string>(), bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

}  // namespace json_bytes
