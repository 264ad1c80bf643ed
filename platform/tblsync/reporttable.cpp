// RTCopy: imports, updates and removes product report tables and imports the
// traditional report table. Every copy reads and checks all its files first
// and then applies its changes in one registry transaction, so the table
// either takes the whole copy or stays as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ascii.h"
#include "store.h"
#include "tblsync.h"
#include "unique_fd.h"

namespace tblsync {

namespace {

using orv::UniqueFd;

constexpr size_t kRegisterPathLimit = 254;
// A table file may hold this many entry lines, each at most this many bytes
// before its line feed (a CR included); a file over either is refused like a
// malformed one.
constexpr size_t kMaxTableEntries = 100000;
constexpr size_t kMaxTableLine = 4096;

// One entry of a report table file.
struct Entry {
    std::string source;
    std::string id;  // canonical decimal
    std::string severity;
    std::string text;
};

// The key of an entry: source (compared as the registry compares key names)
// and event id.
std::string entryKey(std::string_view source, std::string_view id);

// The entries of one copy: one per key, the last definition winning, in the
// order of first definition; and the distinct sources in the order of their
// first entry.
class Table {
  public:
    void put(Entry entry);
    const Entry *find(const std::string &key) const;
    const std::vector<Entry> &entries() const { return entries_; }
    const std::vector<std::string> &sources() const { return sources_; }

  private:
    std::vector<Entry> entries_;
    std::unordered_map<std::string, size_t> index_;
    std::vector<std::string> sources_;
    std::unordered_set<std::string> sourcesSeen_;
};

LONG errnoToWin32(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_ACCESS_DENIED;
    }
}

// Opens a report table file for reading. Only regular files are opened: a
// FIFO or device would block or never end.
LONG openTable(const std::string &path, UniqueFd &fd) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        int error = errno;
        TBLSYNC_TRACE(kError, "report table file %s: %s", path.c_str(), std::strerror(error));
        return errnoToWin32(error);
    }
    if (!S_ISREG(status.st_mode)) {
        TBLSYNC_TRACE(kError, "report table file %s: not a regular file", path.c_str());
        return ERROR_ACCESS_DENIED;
    }
    // Never one of the registry's own files: closing it would drop the
    // registry's locks. Only the very file just checked: the path may have
    // been swapped for a FIFO since the stat.
    fd = UniqueFd(OpenFileForReadingAs(path.c_str(), &status));
    if (fd.get() < 0) {
        int error = errno;
        TBLSYNC_TRACE(kError, "report table file %s: %s", path.c_str(), std::strerror(error));
        return errnoToWin32(error);
    }
    return ERROR_SUCCESS;
}

std::string_view trimBlanks(std::string_view text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) return {};
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

// The event id in canonical decimal form, or empty when the field is not a
// number from 0 to 4294967295.
std::string parseEventId(std::string_view field) {
    if (field.empty()) return {};
    uint64_t value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return {};
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) return {};
    }
    return std::to_string(value);
}

bool knownSeverity(std::string_view field) {
    return orv::sameAscii(field, "ERROR") || orv::sameAscii(field, "WARNING") ||
           orv::sameAscii(field, "INFO");
}

// Why a line is not an entry, or nullptr when it is one.
const char *parseLine(std::string_view line, Entry &entry) {
    if (line.find('\0') != std::string_view::npos) return "NUL byte in line";
    size_t first = line.find(',');
    size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
    size_t third = second == std::string_view::npos ? second : line.find(',', second + 1);
    if (third == std::string_view::npos) {
        return "expected <source>,<event id>,<severity>,<text>";
    }
    std::string_view source = trimBlanks(line.substr(0, first));
    std::string_view id = trimBlanks(line.substr(first + 1, second - first - 1));
    std::string_view severity = trimBlanks(line.substr(second + 1, third - second - 1));
    if (source.empty()) return "empty source";
    if (source.find('\\') != std::string_view::npos) return "'\\' in source";
    entry.id = parseEventId(id);
    if (entry.id.empty()) return "event id is not a number from 0 to 4294967295";
    if (!knownSeverity(severity)) return "severity is not ERROR, WARNING or INFO";
    entry.source.assign(source);
    entry.severity.assign(severity);
    entry.text.assign(line.substr(third + 1));
    return nullptr;
}

std::vector<std::string> splitList(const std::vector<BYTE> &data, bool stopAtEmpty) {
    std::vector<std::string> items;
    const char *p = reinterpret_cast<const char *>(data.data());
    const char *end = p + data.size();
    while (p < end) {
        size_t length = strnlen(p, static_cast<size_t>(end - p));
        if (length == 0) {
            if (stopAtEmpty) break;
        } else {
            items.emplace_back(p, length);
        }
        p += length + 1;
    }
    return items;
}

std::string entryKey(std::string_view source, std::string_view id) {
    std::string key = orv::foldAscii(source);
    key += '\\';
    key += id;
    return key;
}

void Table::put(Entry entry) {
    std::string folded = orv::foldAscii(entry.source);
    if (sourcesSeen_.insert(folded).second) sources_.push_back(entry.source);
    std::string key = entryKey(entry.source, entry.id);
    auto [it, inserted] = index_.emplace(key, entries_.size());
    if (inserted) {
        entries_.push_back(std::move(entry));
    } else {
        entries_[it->second] = std::move(entry);
    }
}

const Entry *Table::find(const std::string &key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second];
}

// One line of a table file, without its line end; false when the file is
// read to its end or the line is too long (`tooLong`) or unreadable (`error`).
class LineReader {
  public:
    explicit LineReader(int fd) : fd_(fd) {}

    bool next(std::string &line, bool &tooLong, int &error) {
        line.clear();
        for (;;) {
            if (pos_ == end_) {
                if (eof_) return !line.empty();
                ssize_t got = ::read(fd_, buffer_, sizeof buffer_);
                if (got < 0) {
                    if (errno == EINTR) continue;
                    error = errno;
                    return false;
                }
                pos_ = 0;
                end_ = static_cast<size_t>(got);
                if (got == 0) {
                    eof_ = true;
                    return !line.empty();
                }
            }
            const char *start = buffer_ + pos_;
            const void *newline = std::memchr(start, '\n', end_ - pos_);
            size_t length =
                newline != nullptr ? static_cast<const char *>(newline) - start : end_ - pos_;
            if (line.size() + length > kMaxTableLine) {
                tooLong = true;
                return false;
            }
            line.append(start, length);
            pos_ += length;
            if (newline != nullptr) {
                ++pos_;
                return true;
            }
        }
    }

  private:
    int fd_;
    char buffer_[65536];
    size_t pos_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
};

// Reads a table file into `table` line by line: memory follows the entries
// kept, never the size of the file.
LONG loadTableFile(const std::string &path, Table &table) {
    UniqueFd fd(-1);
    if (LONG rc = openTable(path, fd)) return rc;
    auto reader = std::make_unique<LineReader>(fd.get());
    std::string text;
    size_t lineNumber = 0, entries = 0;
    bool tooLong = false;
    int error = 0;
    while (reader->next(text, tooLong, error)) {
        ++lineNumber;
        std::string_view line(text);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view blank = trimBlanks(line);
        if (blank.empty() || blank.front() == '#') continue;
        Entry entry;
        if (const char *why = parseLine(line, entry)) {
            TBLSYNC_TRACE(kError, "report table file %s line %zu: %s", path.c_str(), lineNumber,
                          why);
            return kErrorInvalidData;
        }
        if (++entries > kMaxTableEntries) {
            TBLSYNC_TRACE(kError, "report table file %s line %zu: more than %zu entries",
                          path.c_str(), lineNumber, kMaxTableEntries);
            return kErrorInvalidData;
        }
        table.put(std::move(entry));
    }
    if (tooLong) {
        TBLSYNC_TRACE(kError, "report table file %s line %zu: longer than %zu bytes", path.c_str(),
                      lineNumber + 1, kMaxTableLine);
        return kErrorInvalidData;
    }
    if (error != 0) {
        TBLSYNC_TRACE(kError, "report table file %s: %s", path.c_str(), std::strerror(error));
        return errnoToWin32(error);
    }
    return ERROR_SUCCESS;
}

struct StoredEntry {
    std::string source;  // as the key is spelled
    std::string id;
    std::string severity;
    std::string text;
    std::string owner;
};

// The report table as the registry holds it, and the changes of one copy.
class TableStore {
  public:
    LONG open() { return createKey(HKEY_LOCAL_MACHINE, TBLSYNC_KEY_REPORTTABLE, table_); }

    // Every entry, or those of one source (a missing source has none), with
    // its owner. Severity and text are read only for the entries that the
    // copy's own table also defines (none when it is null): the others are
    // decided by their owner alone.
    LONG readAll(std::vector<StoredEntry> &out, const Table *compareWith) {
        std::vector<std::string> sources;
        if (LONG rc = listSubkeys(table_.get(), sources)) return rc;
        for (const std::string &source : sources) {
            if (LONG rc = readSource(source, out, compareWith)) return rc;
        }
        return ERROR_SUCCESS;
    }

    LONG readSource(const std::string &source, std::vector<StoredEntry> &out,
                    const Table *compareWith) {
        Key sourceKey;
        LONG rc = openKey(table_.get(), source, sourceKey);
        if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        std::vector<std::string> ids;
        if ((rc = listSubkeys(sourceKey.get(), ids))) return rc;
        std::vector<BYTE> data;
        for (std::string &id : ids) {
            Key idKey;
            if ((rc = openKey(sourceKey.get(), id, idKey))) return rc;
            StoredEntry entry{source, std::move(id), {}, {}, {}};
            const bool compared =
                compareWith != nullptr && compareWith->find(entryKey(source, entry.id)) != nullptr;
            for (auto [name, field] :
                 {std::pair{"Owner", &entry.owner}, std::pair{"Severity", &entry.severity},
                  std::pair{"Text", &entry.text}}) {
                rc = readValue(idKey.get(), name, data);
                if (rc == ERROR_SUCCESS) {
                    *field = textOf(data);
                } else if (rc != ERROR_FILE_NOT_FOUND) {
                    return rc;
                }
                if (!compared) break;
            }
            out.push_back(std::move(entry));
        }
        return ERROR_SUCCESS;
    }

    LONG put(const Entry &entry, std::string_view owner) {
        HKEY source = nullptr;
        if (LONG rc = sourceKey(entry.source, source)) return rc;
        Key idKey;
        LONG rc = createKey(source, entry.id, idKey);
        if (!rc) rc = setText(idKey.get(), "Severity", entry.severity);
        if (!rc) rc = setText(idKey.get(), "Text", entry.text);
        if (!rc) rc = setText(idKey.get(), "Owner", owner);
        return rc;
    }

    LONG remove(const std::string &source, const std::string &id) {
        HKEY key = nullptr;
        if (LONG rc = sourceKey(source, key)) return rc;
        touched_.insert(orv::foldAscii(source));
        // An entry key has no subkeys unless someone added them by hand.
        LONG rc = RegDeleteKey(key, id.c_str());
        return rc == ERROR_ACCESS_DENIED ? deleteTree(key, id) : rc;
    }

    // Deletes the source keys that removals left empty.
    LONG pruneTouched() {
        for (const std::string &folded : touched_) {
            auto it = sources_.find(folded);
            if (it == sources_.end()) continue;
            DWORD subkeys = 0;
            DWORD values = 0;
            LONG rc =
                RegQueryInfoKey(it->second.key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr,
                                nullptr, &values, nullptr, nullptr, nullptr, nullptr);
            if (rc != ERROR_SUCCESS) return rc;
            if (subkeys != 0 || values != 0) continue;
            std::string name = it->second.name;
            sources_.erase(it);
            rc = RegDeleteKey(table_.get(), name.c_str());
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
        }
        touched_.clear();
        return ERROR_SUCCESS;
    }

    void close() {
        sources_.clear();
        table_.reset();
    }

  private:
    struct OpenSource {
        std::string name;
        Key key;
    };

    LONG sourceKey(const std::string &source, HKEY &out) {
        std::string folded = orv::foldAscii(source);
        auto it = sources_.find(folded);
        if (it == sources_.end()) {
            Key key;
            if (LONG rc = createKey(table_.get(), source, key)) return rc;
            it = sources_.emplace(folded, OpenSource{source, std::move(key)}).first;
        }
        out = it->second.key.get();
        return ERROR_SUCCESS;
    }

    Key table_;
    std::unordered_map<std::string, OpenSource> sources_;
    std::unordered_set<std::string> touched_;
};

LONG readSaveParam(const char *name, std::vector<BYTE> &data) {
    Key key;
    LONG rc = openKey(HKEY_LOCAL_MACHINE, TBLSYNC_KEY_SAVEPARAM, key);
    if (!rc) rc = readValue(key.get(), name, data);
    if (rc != ERROR_SUCCESS) {
        TBLSYNC_TRACE(kError, "cannot read save parameter %s: error %d", name,
                      static_cast<int>(rc));
    }
    return rc;
}

// RegisterPath and RegisterSrc after a product import: the paths imported
// (whole paths only, within 254 bytes with the closing empty string) and the
// distinct sources in the order of their first entry.
LONG writeRegistered(const std::vector<std::string> &paths, const Table &table) {
    std::string registeredPaths;
    for (const std::string &path : paths) {
        if (registeredPaths.size() + path.size() + 2 > kRegisterPathLimit) break;
        registeredPaths += path;
        registeredPaths += '\0';
    }
    registeredPaths += '\0';
    std::string sources;
    for (const std::string &source : table.sources()) {
        sources += source;
        sources += '\0';
    }
    Key key;
    LONG rc = createKey(HKEY_LOCAL_MACHINE, TBLSYNC_KEY_SAVEPARAM, key);
    if (!rc) {
        rc = setValue(key.get(), "RegisterPath", REG_BINARY, registeredPaths.data(),
                      registeredPaths.size());
    }
    if (!rc) rc = setValue(key.get(), "RegisterSrc", REG_BINARY, sources.data(), sources.size());
    return rc;
}

// Reads and checks every file of the product's list ("ReportTable").
LONG loadProductTables(std::vector<std::string> &paths, Table &table) {
    std::vector<BYTE> list;
    if (LONG rc = readSaveParam("ReportTable", list)) return rc;
    paths = splitList(list, /*stopAtEmpty=*/true);
    for (const std::string &path : paths) {
        if (LONG rc = loadTableFile(path, table)) return rc;
    }
    return ERROR_SUCCESS;
}

LONG applyFailed(const char *what, LONG rc) {
    TBLSYNC_TRACE(kError, "%s: registry error %d, report table left unchanged", what,
                  static_cast<int>(rc));
    return rc;
}

LONG createCopy(const std::string &product) {
    std::vector<std::string> paths;
    Table table;
    if (LONG rc = loadProductTables(paths, table)) return rc;

    Transaction transaction;
    TableStore store;
    LONG rc = transaction.begin();
    if (!rc) rc = store.open();
    for (size_t i = 0; !rc && i < table.entries().size(); ++i) {
        rc = store.put(table.entries()[i], product);
    }
    if (!rc) rc = writeRegistered(paths, table);
    store.close();
    if (!rc) rc = transaction.commit();
    if (rc != ERROR_SUCCESS) return applyFailed(product.c_str(), rc);
    TBLSYNC_TRACE(kProgress, "%s: %zu entries of %zu sources imported from %zu files",
                  product.c_str(), table.entries().size(), table.sources().size(), paths.size());
    return ERROR_SUCCESS;
}

bool sameContent(const StoredEntry &stored, const Entry &entry) {
    return stored.severity == entry.severity && stored.text == entry.text;
}

LONG updateCopy(const std::string &product, RTCOPY_CHANGE_CALLBACK callback) {
    std::vector<std::string> paths;
    Table table;
    if (LONG rc = loadProductTables(paths, table)) return rc;

    Transaction transaction;
    TableStore store;
    std::vector<StoredEntry> stored;
    size_t written = 0;
    size_t removed = 0;
    LONG rc = transaction.begin();
    if (!rc) rc = store.open();
    if (!rc) rc = store.readAll(stored, &table);
    std::unordered_set<std::string> unchanged;
    if (!rc) {
        for (const StoredEntry &entry : stored) {
            std::string key = entryKey(entry.source, entry.id);
            const Entry *wanted = table.find(key);
            bool owned = orv::sameAscii(entry.owner, product);
            if (wanted != nullptr && owned && sameContent(entry, *wanted)) {
                unchanged.insert(std::move(key));
            } else if (wanted == nullptr && owned) {
                rc = store.remove(entry.source, entry.id);
                ++removed;
                if (rc) break;
            }
        }
    }
    for (size_t i = 0; !rc && i < table.entries().size(); ++i) {
        const Entry &entry = table.entries()[i];
        if (unchanged.count(entryKey(entry.source, entry.id)) != 0) continue;
        rc = store.put(entry, product);
        ++written;
    }
    if (!rc) rc = store.pruneTouched();
    if (!rc) rc = writeRegistered(paths, table);
    store.close();
    if (!rc) rc = transaction.commit();
    if (rc != ERROR_SUCCESS) return applyFailed(product.c_str(), rc);
    TBLSYNC_TRACE(kProgress, "%s: %zu entries written, %zu removed, %zu unchanged", product.c_str(),
                  written, removed, unchanged.size());
    if ((written != 0 || removed != 0) && callback != nullptr) callback();
    return ERROR_SUCCESS;
}

LONG removeCopy(const std::string &product) {
    std::vector<BYTE> data;
    if (LONG rc = readSaveParam("ReportTable", data)) return rc;
    std::vector<std::string> sources;
    std::unordered_set<std::string> seen;
    for (std::string &source : splitList(data, /*stopAtEmpty=*/false)) {
        // A name with a separator cannot be a source of the table.
        if (source.find('\\') != std::string::npos) continue;
        if (seen.insert(orv::foldAscii(source)).second) sources.push_back(std::move(source));
    }

    Transaction transaction;
    TableStore store;
    size_t removed = 0;
    LONG rc = transaction.begin();
    if (!rc) rc = store.open();
    for (size_t i = 0; !rc && i < sources.size(); ++i) {
        std::vector<StoredEntry> stored;
        rc = store.readSource(sources[i], stored, /*compareWith=*/nullptr);
        for (size_t j = 0; !rc && j < stored.size(); ++j) {
            if (!orv::sameAscii(stored[j].owner, product)) continue;
            rc = store.remove(stored[j].source, stored[j].id);
            ++removed;
        }
    }
    if (!rc) rc = store.pruneTouched();
    store.close();
    if (!rc) rc = transaction.commit();
    if (rc != ERROR_SUCCESS) return applyFailed(product.c_str(), rc);
    TBLSYNC_TRACE(kProgress, "%s: %zu entries of %zu sources removed", product.c_str(), removed,
                  sources.size());
    return ERROR_SUCCESS;
}

// The traditional table yields to product entries: it fills only the
// entries that no product owns and replaces the previous traditional ones.
LONG traditionalCopy(std::string path) {
    for (char &c : path) {
        if (c == '\\') c = '/';
    }
    Table table;
    if (LONG rc = loadTableFile(path, table)) return rc;

    Transaction transaction;
    TableStore store;
    std::vector<StoredEntry> stored;
    LONG rc = transaction.begin();
    if (!rc) rc = store.open();
    if (!rc) rc = store.readAll(stored, &table);
    std::unordered_set<std::string> keep;
    size_t removed = 0;
    if (!rc) {
        for (const StoredEntry &entry : stored) {
            std::string key = entryKey(entry.source, entry.id);
            const Entry *wanted = table.find(key);
            // A product's entry stays whatever the file says; so does an
            // unchanged traditional one.
            const bool productOwned = !entry.owner.empty();
            if (productOwned || (wanted != nullptr && sameContent(entry, *wanted))) {
                keep.insert(std::move(key));
            } else if (wanted == nullptr) {
                rc = store.remove(entry.source, entry.id);
                ++removed;
                if (rc) break;
            }
        }
    }
    size_t written = 0;
    for (size_t i = 0; !rc && i < table.entries().size(); ++i) {
        const Entry &entry = table.entries()[i];
        if (keep.count(entryKey(entry.source, entry.id)) != 0) continue;
        rc = store.put(entry, "");
        ++written;
    }
    if (!rc) rc = store.pruneTouched();
    store.close();
    if (!rc) rc = transaction.commit();
    if (rc != ERROR_SUCCESS) return applyFailed(path.c_str(), rc);
    TBLSYNC_TRACE(kProgress, "traditional report table %s: %zu entries written, %zu removed",
                  path.c_str(), written, removed);
    return ERROR_SUCCESS;
}

bool isText(const void *arg) {
    return arg != nullptr;
}

LONG runCopy(const RTCopyRequest *request) {
    if (request == nullptr || request->qwSize != sizeof(RTCopyRequest)) {
        TBLSYNC_TRACE(kError, "invalid copy request");
        return ERROR_INVALID_PARAMETER;
    }
    const DWORD argc = request->dwArgc;
    void **argv = request->lppArgv;
    if (argv == nullptr || argc < 1 || argc > 3 || argv[argc] != nullptr || !isText(argv[0])) {
        TBLSYNC_TRACE(kError, "invalid argument vector (count %u)", argc);
        return ERROR_INVALID_PARAMETER;
    }
    const char *word = static_cast<const char *>(argv[0]);
    const char *product = static_cast<const char *>(argv[argc - 1]);
    if (argc == 1) return traditionalCopy(word);
    if (product == nullptr || *product == '\0') {
        TBLSYNC_TRACE(kError, "copy request without a product");
        return ERROR_INVALID_PARAMETER;
    }
    if (argc == 2 && std::strcmp(word, "CREATE") == 0) return createCopy(product);
    if (argc == 2 && std::strcmp(word, "REMOVE") == 0) return removeCopy(product);
    if (argc == 3 && std::strcmp(word, "UPDATE") == 0) {
        auto callback = reinterpret_cast<RTCOPY_CHANGE_CALLBACK>(argv[1]);
        return updateCopy(product, callback);
    }
    TBLSYNC_TRACE(kError, "unknown copy mode %s with %u arguments", word, argc);
    return ERROR_INVALID_PARAMETER;
}

}  // namespace
}  // namespace tblsync

extern "C" TBLSYNC_API int RTCopy(RTCopyRequest *request, DWORD) {
    LONG rc;
    try {
        rc = tblsync::runCopy(request);
    } catch (const std::bad_alloc &) {
        TraceLog(tblsync::kError, tblsync::kTraceSource, __func__, __LINE__, "out of memory");
        rc = ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        TraceLog(tblsync::kError, tblsync::kTraceSource, __func__, __LINE__, "copy failed");
        rc = ERROR_INVALID_PARAMETER;
    }
    SetLastError(static_cast<DWORD>(rc));
    return static_cast<int>(rc);
}
