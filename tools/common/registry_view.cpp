#include "registry_view.h"

#include <cstring>

#include "text_escape.h"

namespace orv::tools {

const char *reason(LONG code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
            return "not found";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_INVALID_HANDLE:
            return "invalid handle";
        case ERROR_NOT_ENOUGH_MEMORY:
            return "out of memory";
        case ERROR_INVALID_PARAMETER:
            return "invalid name or data";
        case ERROR_KEY_DELETED:
            return "key was deleted meanwhile";
        case ERROR_BUSY:
            return "registry database stayed busy";
        case ERROR_REGISTRY_CORRUPT:
            return "registry database is damaged or not a registry database";
        case ERROR_REGISTRY_IO_FAILED:
            return "registry database cannot be opened, read or written";
        default:
            return "registry call failed";
    }
}

void check(LONG code, const std::string &what) {
    if (code != ERROR_SUCCESS) throw RegError(what, code);
}

std::string displayPath(const std::string &relative) {
    return relative.empty() ? kRootName : std::string(kRootName) + "\\" + relative;
}

std::string join(const std::string &parent, const std::string &child) {
    return parent.empty() ? child : parent + "\\" + child;
}

Key Key::open(const std::string &path) {
    Key key;
    check(RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), /*ulOptions=*/0, KEY_READ, &key.h_),
          displayPath(path));
    return key;
}

Key Key::create(const std::string &path) {
    Key key;
    check(RegCreateKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), /*Reserved=*/0, nullptr,
                         REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key.h_, nullptr),
          displayPath(path));
    return key;
}

Key::~Key() {
    if (h_ != nullptr) RegCloseKey(h_);
}

std::vector<std::string> subkeyNames(const Key &key, const std::string &path) {
    std::vector<std::string> names;
    std::string name(256, '\0');
    for (DWORD i = 0;; ++i) {
        DWORD chars = static_cast<DWORD>(name.size());
        LONG rc =
            RegEnumKeyEx(key.get(), i, name.data(), &chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        check(rc, displayPath(path));
        names.emplace_back(name.data(), chars);
    }
    return names;
}

std::vector<Value> values(const Key &key, const std::string &path) {
    std::vector<Value> out;
    std::string name(256, '\0'), data(512, '\0');
    for (DWORD i = 0;;) {
        DWORD chars = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        LONG rc = RegEnumValue(key.get(), i, name.data(), &chars, nullptr, &type,
                               reinterpret_cast<BYTE *>(data.data()), &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_MORE_DATA) {
            // Grow whichever buffer was short and read the same value again.
            if (chars > name.size()) name.resize(chars);
            if (size > data.size()) data.resize(size);
            continue;
        }
        check(rc, displayPath(path));
        out.push_back({std::string(name.data(), chars), type, std::string(data.data(), size)});
        ++i;
    }
    return out;
}

namespace {

const char *typeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case 2:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case 7:
            return "REG_MULTI_SZ";
        case REG_QWORD:
            return "REG_QWORD";
        default:
            return nullptr;
    }
}

// The items of a NUL-separated list of printable strings (each NUL-ended,
// the list perhaps padded with further NULs), or nothing when the bytes are
// not such a list.
std::optional<std::vector<std::string>> stringList(const std::string &bytes) {
    if (bytes.size() < 2 || bytes.back() != '\0') return std::nullopt;
    std::vector<std::string> items;
    std::size_t at = 0;
    while (at < bytes.size() && bytes[at] != '\0') {
        std::size_t end = bytes.find('\0', at);
        std::string item = bytes.substr(at, end - at);
        for (unsigned char c : item) {
            if (!printable(c)) return std::nullopt;
        }
        items.push_back(std::move(item));
        at = end + 1;
    }
    if (items.empty()) return std::nullopt;
    for (; at < bytes.size(); ++at) {
        if (bytes[at] != '\0') return std::nullopt;
    }
    return items;
}

}  // namespace

std::string typeText(DWORD type) {
    const char *name = typeName(type);
    return name != nullptr ? name : "REG_TYPE_" + std::to_string(type);
}

ShownData shownData(const Value &value) {
    using Form = ShownData::Form;
    const std::string &d = value.data;
    ShownData shown;
    switch (value.type) {
        case REG_SZ:
        case 2:
            shown.form = Form::kText;
            shown.text = d.substr(0, d.find('\0'));
            return shown;
        case REG_DWORD:
            if (d.size() == 4) {
                std::uint32_t n = 0;
                std::memcpy(&n, d.data(), 4);
                shown.form = Form::kNumber;
                shown.number = n;
                return shown;
            }
            break;
        case REG_QWORD:
            if (d.size() == 8) {
                std::memcpy(&shown.number, d.data(), 8);
                shown.form = Form::kNumber;
                return shown;
            }
            break;
        default:
            break;
    }
    if (auto items = stringList(d)) {
        shown.form = Form::kList;
        shown.items = std::move(*items);
        return shown;
    }
    shown.text = d;
    return shown;
}

}  // namespace orv::tools
