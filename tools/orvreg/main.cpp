// orvreg: shows and edits the agent's registry, like a small reg command.
//
//   orvreg query KEY [VALUE]     a key's values and subkeys, or one value
//   orvreg tree [KEY]            a key and everything below it
//   orvreg add KEY [VALUE] ...   creates a key, sets a value
//   orvreg delete KEY [VALUE]    deletes a value, or a key with all below it
//   orvreg table                 the alert manager's report table as rows
//
// Keys are paths below HKEY_LOCAL_MACHINE; "HKLM\" or "HKEY_LOCAL_MACHINE\"
// in front is accepted. query, tree and table take --json for one JSON
// document instead of text (shapes in the README). Exit status 0 on
// success, 1 when the registry call fails (one line on standard error), 2
// for a command line error.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ascii.h"
#include "json_view.h"
#include "registry_view.h"
#include "text_escape.h"
#include "w32compat.h"

namespace {

using namespace orv::tools;

constexpr const char kReportTable[] = "SOFTWARE\\ORV\\QORAlertMan\\ReportTable";

// The path below HKEY_LOCAL_MACHINE, without a root prefix or trailing '\'.
std::string relativePath(std::string path) {
    auto dropPrefix = [&path](const std::string &prefix) {
        if (path.size() < prefix.size()) return false;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            if (std::toupper(static_cast<unsigned char>(path[i])) != prefix[i]) return false;
        }
        if (path.size() > prefix.size() && path[prefix.size()] != '\\') return false;
        path.erase(0, std::min(path.size(), prefix.size() + 1));
        return true;
    };
    dropPrefix(kRootName) || dropPrefix("HKLM");
    while (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

using orv::escaped;

std::string hexText(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, out.empty() ? "%02x" : " %02x", c);
        out += hex;
    }
    return out;
}

std::string dataText(const Value &value) {
    using Form = ShownData::Form;
    ShownData shown = shownData(value);
    switch (shown.form) {
        case Form::kText:
            return escaped(shown.text);
        case Form::kNumber:
            return std::to_string(shown.number);
        case Form::kList: {
            std::string out = "list:";
            for (const std::string &item : shown.items) out += " \"" + escaped(item) + "\"";
            return out;
        }
        case Form::kBytes:
            break;
    }
    return shown.text.empty() ? "(no data)" : "hex: " + hexText(shown.text);
}

std::string valueLine(const Value &value, const std::string &indent) {
    return indent + (value.name.empty() ? "(Default)" : escaped(value.name)) + "    " +
           typeText(value.type) + "    " + dataText(value);
}

// ---- Commands ----------------------------------------------------------------

void query(const std::string &path, const std::optional<std::string> &valueName, bool json) {
    Key key = Key::open(path);
    std::vector<Value> all = values(key, path);
    Json document = Json::object();
    document["key"] = jsonBytes(displayPath(path));
    if (valueName) {
        auto found = std::find_if(all.begin(), all.end(), [&](const Value &v) {
            return orv::sameAscii(v.name, *valueName);
        });
        if (found == all.end()) {
            throw RegError(displayPath(path) + " value " + *valueName, ERROR_FILE_NOT_FOUND);
        }
        if (json) {
            document["value"] = jsonValue(*found);
            printJson(document);
            return;
        }
        std::cout << displayPath(path) << "\n" << valueLine(*found, "    ") << "\n";
        return;
    }
    std::vector<std::string> subkeys = subkeyNames(key, path);
    if (json) {
        Json shown = Json::array();
        for (const Value &value : all) shown.push_back(jsonValue(value));
        document["values"] = std::move(shown);
        Json names = Json::array();
        for (const std::string &name : subkeys) names.push_back(jsonBytes(name));
        document["subkeys"] = std::move(names);
        printJson(document);
        return;
    }
    std::cout << displayPath(path) << "\n";
    for (const Value &value : all) std::cout << valueLine(value, "    ") << "\n";
    for (const std::string &name : subkeys) std::cout << displayPath(join(path, name)) << "\n";
}

void tree(const std::string &path, const std::string &label, const std::string &indent) {
    Key key = Key::open(path);
    std::cout << indent << label << "\n";
    std::string inner = indent + "  ";
    for (const Value &value : values(key, path)) std::cout << valueLine(value, inner) << "\n";
    for (const std::string &name : subkeyNames(key, path)) {
        tree(join(path, name), escaped(name) + "\\", inner);
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Hex bytes; blanks, ':' and '-' between them are allowed.
std::string parseHex(const std::string &text) {
    std::string bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-' || c == '\t') {
            if (high >= 0) throw CLI::ValidationError("--data", "a byte needs two hex digits");
            continue;
        }
        int digit = hexDigit(c);
        if (digit < 0)
            throw CLI::ValidationError("--data", "not a hex digit: " + std::string(1, c));
        if (high < 0) {
            high = digit;
        } else {
            bytes += static_cast<char>(high * 16 + digit);
            high = -1;
        }
    }
    if (high >= 0) throw CLI::ValidationError("--data", "odd number of hex digits");
    return bytes;
}

std::uint64_t parseNumber(const std::string &text, std::uint64_t max) {
    if (text.empty() || text[0] == '-' || text[0] == '+' ||
        std::isspace(static_cast<unsigned char>(text[0]))) {
        throw CLI::ValidationError("--data", "not a number: " + text);
    }
    errno = 0;
    char *end = nullptr;
    unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || n > max) {
        throw CLI::ValidationError("--data", "not a number in range: " + text);
    }
    return n;
}

Value makeValue(const std::string &name, const std::string &type,
                const std::vector<std::string> &data) {
    Value value{name, 0, {}};
    auto single = [&]() -> const std::string & {
        if (data.size() != 1) {
            throw CLI::ValidationError("--data", "type " + type + " takes exactly one --data");
        }
        return data[0];
    };
    if (type == "sz") {
        value.type = REG_SZ;
        if (data.size() > 1) throw CLI::ValidationError("--data", "type sz takes one --data");
        value.data = (data.empty() ? std::string() : data[0]) + '\0';
    } else if (type == "dword") {
        value.type = REG_DWORD;
        auto n = static_cast<std::uint32_t>(parseNumber(single(), UINT32_MAX));
        value.data.assign(reinterpret_cast<const char *>(&n), 4);
    } else if (type == "qword") {
        value.type = REG_QWORD;
        std::uint64_t n = parseNumber(single(), UINT64_MAX);
        value.data.assign(reinterpret_cast<const char *>(&n), 8);
    } else if (type == "binary") {
        value.type = REG_BINARY;
        if (data.size() > 1) throw CLI::ValidationError("--data", "type binary takes one --data");
        value.data = data.empty() ? std::string() : parseHex(data[0]);
    } else {  // list
        value.type = REG_BINARY;
        if (data.empty()) throw CLI::ValidationError("--data", "type list needs --data items");
        for (const std::string &item : data) {
            if (item.empty()) throw CLI::ValidationError("--data", "list items cannot be empty");
            value.data += item + '\0';
        }
        value.data += '\0';
    }
    return value;
}

void add(const std::string &path, const std::optional<Value> &value) {
    Key key = Key::create(path);
    if (!value) return;
    check(RegSetValueEx(key.get(), value->name.c_str(), /*Reserved=*/0, value->type,
                        reinterpret_cast<const BYTE *>(value->data.data()),
                        static_cast<DWORD>(value->data.size())),
          displayPath(path) + " value " + value->name);
}

// Deletes a key's subkeys depth first, then the key.
void deleteTree(const std::string &path) {
    {
        Key key = Key::open(path);
        for (const std::string &name : subkeyNames(key, path)) deleteTree(join(path, name));
    }
    check(RegDeleteKey(HKEY_LOCAL_MACHINE, path.c_str()), displayPath(path));
}

void remove(const std::string &path, const std::optional<std::string> &valueName) {
    if (valueName) {
        Key key = Key::open(path);
        check(RegDeleteValue(key.get(), valueName->c_str()),
              displayPath(path) + " value " + *valueName);
        return;
    }
    if (path.empty()) throw RegError(displayPath(path) + " cannot be deleted", ERROR_ACCESS_DENIED);
    // The whole subtree goes at once or not at all.
    check(RegBeginTransaction(), displayPath(path));
    try {
        deleteTree(path);
    } catch (...) {
        RegRollbackTransaction();
        throw;
    }
    check(RegCommitTransaction(), displayPath(path));
}

std::string textValue(const Key &key, const char *name) {
    std::string data(512, '\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(data.size());
        LONG rc = RegQueryValueEx(key.get(), name, nullptr, nullptr,
                                  reinterpret_cast<BYTE *>(data.data()), &size);
        if (rc == ERROR_FILE_NOT_FOUND) return "";
        if (rc == ERROR_MORE_DATA) {
            data.resize(size);
            continue;
        }
        check(rc, name);
        data.resize(size);
        return data.substr(0, data.find('\0'));
    }
}

struct Row {
    std::string source, event, severity, owner, text;
};

// The report table's entries, source by source in name order, each source's
// event ids in numeric order.
std::vector<Row> tableRows(const std::optional<std::string> &sourceFilter) {
    std::vector<Row> rows;
    std::optional<Key> tableKey;
    try {
        tableKey.emplace(Key::open(kReportTable));
    } catch (const RegError &e) {
        if (e.code != ERROR_FILE_NOT_FOUND) throw;  // no report table yet: no rows
    }
    for (const std::string &source :
         tableKey ? subkeyNames(*tableKey, kReportTable) : std::vector<std::string>{}) {
        if (sourceFilter && !orv::sameAscii(source, *sourceFilter)) continue;
        std::string sourcePath = join(kReportTable, source);
        Key sourceKey = Key::open(sourcePath);
        std::vector<Row> entries;
        for (const std::string &event : subkeyNames(sourceKey, sourcePath)) {
            Key entry = Key::open(join(sourcePath, event));
            entries.push_back({source, event, textValue(entry, "Severity"),
                               textValue(entry, "Owner"), textValue(entry, "Text")});
        }
        // Event ids in numeric order; ids that are not numbers after them.
        auto number = [](const std::string &s) -> std::int64_t {
            bool digits =
                !s.empty() && s.size() < 19 &&
                std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
            return digits ? std::stoll(s) : INT64_MAX;
        };
        std::stable_sort(entries.begin(), entries.end(), [&](const Row &a, const Row &b) {
            return number(a.event) < number(b.event);
        });
        rows.insert(rows.end(), entries.begin(), entries.end());
    }
    return rows;
}

void table(const std::optional<std::string> &sourceFilter, bool json) {
    std::vector<Row> rows = tableRows(sourceFilter);
    if (json) {
        Json shown = Json::array();
        for (const Row &row : rows) {
            shown.push_back(Json{{"source", jsonBytes(row.source)},
                                 {"event", jsonBytes(row.event)},
                                 {"severity", jsonBytes(row.severity)},
                                 {"owner", jsonBytes(row.owner)},
                                 {"text", jsonBytes(row.text)}});
        }
        printJson(Json{{"rows", std::move(shown)}});
        return;
    }
    for (Row &row : rows) {
        row.owner = row.owner.empty() ? "(traditional)" : escaped(row.owner);
        row.source = escaped(row.source);
        row.event = escaped(row.event);
        row.severity = escaped(row.severity);
        row.text = escaped(row.text);
    }
    const Row header{"SOURCE", "EVENT ID", "SEVERITY", "OWNER", "TEXT"};
    std::size_t w[4] = {header.source.size(), header.event.size(), header.severity.size(),
                        header.owner.size()};
    for (const Row &row : rows) {
        w[0] = std::max(w[0], row.source.size());
        w[1] = std::max(w[1], row.event.size());
        w[2] = std::max(w[2], row.severity.size());
        w[3] = std::max(w[3], row.owner.size());
    }
    auto print = [&](const Row &row) {
        auto cell = [](const std::string &s, std::size_t width) {
            return s + std::string(width - s.size() + 2, ' ');
        };
        std::string line = cell(row.source, w[0]) + cell(row.event, w[1]) +
                           cell(row.severity, w[2]) + cell(row.owner, w[3]) + row.text;
        line.erase(line.find_last_not_of(' ') + 1);
        std::cout << line << "\n";
    };
    print(header);
    for (const Row &row : rows) print(row);
}

int runOrvreg(int argc, char **argv) {
    CLI::App app{
        "Shows and edits the agent's registry. Keys are paths below HKEY_LOCAL_MACHINE "
        "with '\\' between names (quote them in the shell); an \"HKLM\\\" or "
        "\"HKEY_LOCAL_MACHINE\\\" prefix is accepted. Names ignore case.",
        "orvreg"};
    app.set_version_flag("--version", "orvreg " ORV_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    std::string root;
    app.add_option("--root", root,
                   "Agent root directory holding var/registry.db (default: $ORV_ROOT, else "
                   "/opt/orv)");

    std::string key;
    std::optional<std::string> valueName;
    std::vector<std::string> data;
    std::string type = "sz";

    auto *queryCmd = app.add_subcommand(
        "query",
        "Shows a key's values and subkeys, or one value of it. Values are shown as "
        "NAME  TYPE  DATA: text as text, numbers in decimal, binary data as hex, and "
        "binary data that is a NUL-separated list of strings as list: \"a\" \"b\".");
    queryCmd->add_option("KEY", key, "The key")->required();
    queryCmd->add_option("VALUE", valueName, "Show only this value");
    bool json = false;
    const char *jsonHelp = "Print one JSON document instead (shapes in the README)";
    queryCmd->add_flag("--json", json, jsonHelp);

    auto *treeCmd = app.add_subcommand(
        "tree",
        "Shows a key (default: HKEY_LOCAL_MACHINE) and everything below it: subkeys "
        "end in '\\', values are shown as in query.");
    treeCmd->add_option("KEY", key, "The key at the top");
    treeCmd->add_flag("--json", json, jsonHelp);

    auto *addCmd = app.add_subcommand(
        "add",
        "Creates KEY (and the keys above it) when missing and, with VALUE, sets that "
        "value.");
    addCmd->add_option("KEY", key, "The key")->required();
    addCmd->add_option("VALUE", valueName, "The value's name (\"\" for the default value)");
    addCmd
        ->add_option("--type", type,
                     "sz: text (stored with its NUL); dword, qword: a number, decimal or 0x "
                     "hex; binary: hex bytes such as \"01 ab ff\" (blanks, ':' or '-' may "
                     "separate bytes); list: binary data holding the --data items, each ended "
                     "by a NUL, and a final NUL")
        ->check(CLI::IsMember({"sz", "dword", "qword", "binary", "list"}));
    addCmd->add_option("--data", data, "The data; repeat it for the items of a list (--type list)");

    auto *deleteCmd = app.add_subcommand(
        "delete", "Deletes VALUE of KEY or, without VALUE, KEY with all its subkeys at once.");
    deleteCmd->add_option("KEY", key, "The key")->required();
    deleteCmd->add_option("VALUE", valueName, "Delete only this value");

    std::optional<std::string> source;
    auto *tableCmd = app.add_subcommand(
        "table",
        "Shows the alert manager's report table, one entry a row: source, event id, "
        "severity, owner (the product that imported it, or (traditional)) and text.");
    tableCmd->add_option("--source", source, "Show only this event source");
    tableCmd->add_flag("--json", json, jsonHelp);

    std::optional<Value> value;
    try {
        app.parse(argc, argv);
        if (addCmd->parsed() && valueName) value = makeValue(*valueName, type, data);
        if (addCmd->parsed() && !valueName && !data.empty()) {
            throw CLI::ValidationError("--data", "--data needs a VALUE to set");
        }
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    if (!root.empty()) setenv("ORV_ROOT", root.c_str(), 1);

    std::string path = relativePath(key);
    try {
        if (queryCmd->parsed()) {
            Snapshot snapshot;
            query(path, valueName, json);
        } else if (treeCmd->parsed()) {
            Snapshot snapshot;
            if (json) {
                printJson(jsonTree(path, Json{{"key", jsonBytes(displayPath(path))}}));
            } else {
                tree(path, displayPath(path), "");
            }
        } else if (addCmd->parsed()) {
            add(path, value);
        } else if (deleteCmd->parsed()) {
            remove(path, valueName);
        } else if (tableCmd->parsed()) {
            Snapshot snapshot;
            table(source, json);
        }
    } catch (const RegError &e) {
        std::cout.flush();
        std::cerr << "orvreg: " << e.what() << ": " << reason(e.code) << " (error " << e.code
                  << ")\n";
        return 1;
    } catch (const std::exception &e) {
        std::cout.flush();
        std::cerr << "orvreg: " << e.what() << "\n";
        return 1;
    }
    std::cout.flush();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return runOrvreg(argc, argv);
    } catch (const std::exception &e) {
        std::cerr << "orvreg: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "orvreg: unexpected failure\n";
    }
    return 1;
}
