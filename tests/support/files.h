// Whole files for the tests: reading and writing them, report table files and
// report information files.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace orv_test {

inline constexpr const char kTablesDir[] = "/opt/orv/tables";

// Replaces the file's contents with the bytes as they are.
inline void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The file's bytes; empty when it cannot be read.
inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// True for anything at the path, a dangling link included.
inline bool fileExists(const std::string &path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// Writes a report table file under /opt/orv/tables and returns its path.
inline std::string writeTable(const std::string &name, const std::string &lines) {
    std::filesystem::create_directories(kTablesDir);
    std::string path = std::string(kTablesDir) + "/" + name;
    writeFile(path, lines);
    return path;
}

// Report table lines "<source>,<id>,<severity>,event <id>", one per id from firstId on.
inline std::string tableRows(const std::string &source, int firstId, int count,
                             const std::string &severity = "INFO") {
    std::string text;
    for (int id = firstId; id < firstId + count; ++id)
        text += source + "," + std::to_string(id) + "," + severity + ",event " +
                std::to_string(id) + "\n";
    return text;
}

// A report information file of a product with one report table; returns the path.
inline std::string writeProduct(const std::string &path, const std::string &product,
                                const std::string &version, const std::string &table,
                                const std::string &language = "E",
                                const std::string &productId = "120") {
    writeFile(path, "ProductName=\"" + product + "\"\nDisplayName=\"" + product +
                        " Monitor\"\nLanguageID=\"" + language + "\"\nProductID=" + productId +
                        "\nVersion=\"" + version + "\"\nReportTableName=\"" + table + "\"\n");
    return path;
}

// Counts the non-overlapping occurrences of needle in text.
inline size_t countOf(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; at += needle.size()) ++n;
    return n;
}

}  // namespace orv_test
