#include "json_view.h"

#include <iostream>

namespace orv::tools {

bool validUtf8(std::string_view bytes) {
    auto in = [](unsigned char c, unsigned char low, unsigned char high) {
        return c >= low && c <= high;
    };
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        auto at = [&](std::size_t k) -> unsigned char {
            return i + k < n ? static_cast<unsigned char>(bytes[i + k]) : 0;
        };
        std::size_t length = 0;
        if (c < 0x80) {
            length = 1;
        } else if (in(c, 0xC2, 0xDF)) {
            length = in(at(1), 0x80, 0xBF) ? 2 : 0;
        } else if (c >= 0xE0 && c <= 0xEF) {
            // E0: no overlong forms; ED: no surrogates.
            const unsigned char low = c == 0xE0 ? 0xA0 : 0x80;
            const unsigned char high = c == 0xED ? 0x9F : 0xBF;
            length = in(at(1), low, high) && in(at(2), 0x80, 0xBF) ? 3 : 0;
        } else if (in(c, 0xF0, 0xF4)) {
            // F0: no overlong forms; F4: nothing above U+10FFFF.
            const unsigned char low = c == 0xF0 ? 0x90 : 0x80;
            const unsigned char high = c == 0xF4 ? 0x8F : 0xBF;
            length = in(at(1), low, high) && in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF) ? 4 : 0;
        }
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string hexBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0xF];
    }
    return out;
}

Json jsonBytes(std::string_view bytes) {
    if (validUtf8(bytes)) return Json(std::string(bytes));
    Json carried = Json::object();
    carried["hex"] = hexBytes(bytes);
    return carried;
}

Json jsonValue(const Value &value) {
    using Form = ShownData::Form;
    Json out = Json::object();
    out["name"] = jsonBytes(value.name);
    out["type"] = typeText(value.type);
    ShownData shown = shownData(value);
    switch (shown.form) {
        case Form::kText:
            out["data"] = jsonBytes(shown.text);
            break;
        case Form::kNumber:
            out["data"] = shown.number;
            break;
        case Form::kList: {
            Json items = Json::array();
            for (const std::string &item : shown.items) items.push_back(jsonBytes(item));
            out["data"] = std::move(items);
            break;
        }
        case Form::kBytes:
            out["data"] = Json{{"hex", hexBytes(shown.text)}};
            break;
    }
    return out;
}

Json jsonTree(const std::string &path, Json node) {
    Key key = Key::open(path);
    Json all = Json::array();
    for (const Value &value : values(key, path)) all.push_back(jsonValue(value));
    node["values"] = std::move(all);
    Json subkeys = Json::array();
    for (const std::string &name : subkeyNames(key, path)) {
        subkeys.push_back(jsonTree(join(path, name), Json{{"name", jsonBytes(name)}}));
    }
    node["subkeys"] = std::move(subkeys);
    return node;
}

void printJson(const Json &document) {
    std::cout << document.dump(2) << "\n";
}

}  // namespace orv::tools
