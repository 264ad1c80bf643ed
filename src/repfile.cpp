// Report information files: the reader of one file and the scan of the
// report information directory.
//
// A report information file is single-byte text of key and value lines:
//     ProductName = "Alpha"
//     ProductID = 120
// taken byte for byte, whatever the locale of the host process. The two line
// patterns are compiled once per process under the C locale and only read
// afterwards; every match runs under the C locale too, so [[:space:]] and
// [[:alnum:]] always mean the ASCII classes and bytes from 0x80 up (Shift_JIS,
// EUC-JP display names) are ordinary characters.
#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "amirtupt.h"
#include "trace.h"
#include "unique_fd.h"
#include "w32compat.h"

namespace {

constexpr const char kTraceSource[] = "repfile";

using amirtupt::kDetail;
using amirtupt::kError;
using amirtupt::kProgress;
using amirtupt::kRegex;

// A line holds at most 510 characters; the 511th makes it too long.
constexpr size_t kLineSize = 512;
constexpr int kTooLong = 511;
// The report table list: at most four entries are kept. A slot has the room
// of a whole line, so a piece is never cut before its white space is taken off.
constexpr int kSlotCount = PPINFO_MAX_REPORTTABLES;
constexpr size_t kSlotSize = kLineSize;
using Slots = char[kSlotCount][kSlotSize];

// The directory mode bit as the reader tests it (directories; block devices
// and sockets carry it too).
constexpr mode_t kDirectoryBit = 0x4000;

// A file read through a buffer of the caller's, taken in runs of the bytes
// at hand. It ends when a read returns nothing; a read error ends it as its
// end does.
class FileReader {
  public:
    FileReader(int fd, char *buffer, size_t size) : fd_(fd), buffer_(buffer), size_(size) {}
    FileReader(const FileReader &) = delete;
    FileReader &operator=(const FileReader &) = delete;

    // How many bytes are at hand, reading more when none is; 0 at the end.
    size_t available() {
        if (next_ == filled_ && !refill()) return 0;
        return filled_ - next_;
    }
    // The bytes at hand and, once looked at, how many of them are taken.
    const char *bytes() const { return buffer_ + next_; }
    void consume(size_t count) { next_ += count; }
    // True once a read has found the end.
    bool ended() const { return ended_; }

  private:
    bool refill() {
        if (ended_) return false;
        ssize_t n;
        do {
            n = ::read(fd_.get(), buffer_, size_);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        next_ = 0;
        filled_ = static_cast<size_t>(n);
        return true;
    }

    orv::UniqueFd fd_;
    char *buffer_;
    size_t size_;
    size_t next_ = 0;
    size_t filled_ = 0;
    bool ended_ = false;
};

struct FreeDeleter {
    void operator()(void *block) const { std::free(block); }
};
using UniqueRecord = std::unique_ptr<PPInfo, FreeDeleter>;

// ---- C locale --------------------------------------------------------------

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
    return locale;
}

// Runs the enclosed code under the C locale on the calling thread and puts
// the thread's previous locale back.
class CLocaleScope {
  public:
    CLocaleScope() : previous_(cLocale() != nullptr ? uselocale(cLocale()) : nullptr) {}
    ~CLocaleScope() {
        if (previous_ != nullptr) uselocale(previous_);
    }
    CLocaleScope(const CLocaleScope &) = delete;
    CLocaleScope &operator=(const CLocaleScope &) = delete;

  private:
    locale_t previous_;
};

// White space of the C locale: space, tab, line feed, vertical tab, form
// feed, carriage return.
bool isCSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Letters and digits of the C locale.
bool isCAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// ---- Line patterns ---------------------------------------------------------

// A compiled POSIX pattern; shared read-only once built.
class Regex {
  public:
    Regex() = default;
    Regex(const Regex &) = delete;
    Regex &operator=(const Regex &) = delete;
    ~Regex() {
        if (compiled_) regfree(&regex_);
    }

    bool compile(const char *pattern) {
        compiled_ = regcomp(&regex_, pattern, REG_EXTENDED) == 0;
        return compiled_;
    }
    // The whole match and its groups, as POSIX assigns them.
    bool match(const char *text, regmatch_t (&slots)[4]) const {
        return regexec(&regex_, text, 4, slots, 0) == 0;
    }

  private:
    regex_t regex_{};
    bool compiled_ = false;
};

constexpr const char kLeadingSpace[] = "[[:space:]]*";
constexpr const char kKeyGroup[] = "([[:alnum:]]*)";
constexpr const char kAssignment[] = "[[:space:]]*=[[:space:]]*";
constexpr const char kQuotedValue[] = "\"(.*)\"";
constexpr const char kPlainValue[] = "(.*)";

struct Patterns {
    Regex quoted;
    Regex unquoted;
    bool ready = false;

    Patterns() {
        CLocaleScope cLocaleScope;
        char pattern[128];
        std::snprintf(pattern, sizeof pattern, "%s%s%s%s", kLeadingSpace, kKeyGroup, kAssignment,
                      kQuotedValue);
        bool quotedOk = quoted.compile(pattern);
        if (!quotedOk) TRACE_AS("QORPPLX_readRI", kRegex, "regcomp() failed.");
        std::snprintf(pattern, sizeof pattern, "%s%s%s%s", kLeadingSpace, kKeyGroup, kAssignment,
                      kPlainValue);
        bool unquotedOk = unquoted.compile(pattern);
        if (!unquotedOk) TRACE_AS("QORPPLX_readRI", kRegex, "regcomp() failed.");
        ready = quotedOk && unquotedOk;
    }
};

// One set per thread, built on its first read and freed when the thread ends:
// a reader still running on another thread while the process exits keeps
// valid patterns, and a host that unloads the library after its link thread
// ended leaves nothing behind.
const Patterns &patterns() {
    thread_local const Patterns shared;
    return shared;
}

// ---- The reader's routines ---------------------------------------------------

// Reads the next line of `stream` into `buf` (kLineSize bytes) without its
// line end (a line feed or a byte 0xFF). Returns the number of characters
// stored, -1 at the end of the stream, -2 when the line is too long (the rest
// of it stays unread). A read error ends the stream like its end does.
int readLine(FileReader *stream, char *buf) {
    TRACE(kDetail, ">Params: stream=%p buf=%p", static_cast<void *>(stream),
          static_cast<void *>(buf));
    buf[0] = '\0';
    if (stream->ended()) {
        TRACE(kDetail, "get to end of file : HANDLE=%p", static_cast<void *>(stream));
        TRACE(kDetail, "< return value -1");
        return -1;
    }
    int count = 0;
    for (;;) {
        // The bytes at hand, up to the line end or the line's room.
        size_t available = stream->available();
        if (available == 0) break;  // the end
        const char *bytes = stream->bytes();
        size_t room = static_cast<size_t>(kTooLong - count);
        size_t n = available < room ? available : room;
        size_t k = 0;
        while (k < n && bytes[k] != '\n' && static_cast<unsigned char>(bytes[k]) != 0xFF) ++k;
        std::memcpy(buf + count, bytes, k);
        count += static_cast<int>(k);
        if (k < n) {
            stream->consume(k + 1);  // the line end goes too
            break;
        }
        stream->consume(k);
        if (count == kTooLong) {
            TRACE(kProgress, "line's length more the 512 : HANDLE=%p", static_cast<void *>(stream));
            buf[kTooLong] = '\0';
            TRACE(kDetail, "< return value -2");
            return -2;
        }
    }
    buf[count] = '\0';
    TRACE(kDetail, "< return value %d", count);
    return count;
}

// Copies source[start..end], both included, to target (room for
// end - start + 2 bytes); empty when start > end.
void substr(const char *source, int start, int end, char *target) {
    TRACE(kDetail, ">Params: source=%s start=%d end=%d target=%p", source, start, end,
          static_cast<void *>(target));
    int length = start <= end ? end - start + 1 : 0;
    if (length > 0) std::memcpy(target, source + start, static_cast<size_t>(length));
    target[length] = '\0';
    TRACE(kDetail, "< return value %s", target);
}

// Cuts `str` at every `splitter` into the slots of `result`: a piece before a
// splitter counts from two characters on, the final piece from one. Pieces
// beyond the last slot are dropped. Returns the number of slots used.
int splitstr(const char *str, char splitter, Slots &result) {
    TRACE(kDetail, ">Params: str=%s splitter=%c result=%p", str, splitter,
          static_cast<void *>(&result));
    int used = 0;
    auto keep = [&](const char *piece, size_t length) {
        if (used == kSlotCount) return;
        if (length > kSlotSize - 1) length = kSlotSize - 1;
        std::memcpy(result[used], piece, length);
        result[used][length] = '\0';
        ++used;
    };
    const char *piece = str;
    const char *p = str;
    for (; *p != '\0'; ++p) {
        if (*p != splitter) continue;
        size_t length = static_cast<size_t>(p - piece);
        if (length >= 2) keep(piece, length);
        piece = p + 1;
    }
    size_t finalLength = static_cast<size_t>(p - piece);
    if (finalLength >= 1) keep(piece, finalLength);
    TRACE(kDetail, "< return value %d", used);
    return used;
}

// Takes leading and trailing white space off `str` in place.
void stripstr(char *str) {
    TRACE(kDetail, ">Params: str=%s", str);
    size_t length = std::strlen(str);
    size_t begin = 0;
    while (begin < length && isCSpace(static_cast<unsigned char>(str[begin]))) ++begin;
    while (length > begin && isCSpace(static_cast<unsigned char>(str[length - 1]))) --length;
    std::memmove(str, str + begin, length - begin);
    str[length - begin] = '\0';
    TRACE(kDetail, "< return value %s", str);
}

// Copies a value into a record field, cut to fit.
template <size_t N>
void storeValue(char (&field)[N], const char *value) {
    size_t length = strnlen(value, N - 1);
    std::memcpy(field, value, length);
    field[length] = '\0';
}

// The part of the line that one group of a match covers, through substr.
void groupText(const char *line, const regmatch_t &group, char *target) {
    if (group.rm_so < 0) {
        target[0] = '\0';
        return;
    }
    substr(line, static_cast<int>(group.rm_so), static_cast<int>(group.rm_eo) - 1, target);
}

void storeReportTables(PPInfo *record, const char *value) {
    Slots slots;
    int count = splitstr(value, ',', slots);
    std::memset(record->ReportTablePath, 0, sizeof record->ReportTablePath);
    for (int i = 0; i < count; ++i) {
        stripstr(slots[i]);
        storeValue(record->ReportTablePath[i], slots[i]);
    }
    record->NumReportTablePath = count;
}

// Finds the whole match of a line pattern as the matcher would (leftmost,
// then longest) without running it. From a start, the pattern's shape leaves
// one way to go: white space, the key (letters and digits), white space,
// then an "=" must follow; in the quoted form white space and a double quote
// after it, and the match runs to the line's last double quote beyond that
// one; in the unquoted form it runs to the line's end. A start that fails
// fails for every start up to the end of its key too: they all reach the
// same place. So every line takes one pass.
bool findMatch(const char *line, bool quoted, regmatch_t &whole) {
    const regoff_t length = static_cast<regoff_t>(std::strlen(line));
    auto at = [line](regoff_t i) { return static_cast<unsigned char>(line[i]); };
    regoff_t start = 0;
    while (start < length) {
        regoff_t p = start;
        while (p < length && isCSpace(at(p))) ++p;
        regoff_t keyEnd = p;
        while (keyEnd < length && isCAlnum(at(keyEnd))) ++keyEnd;
        p = keyEnd;
        while (p < length && isCSpace(at(p))) ++p;
        if (p < length && at(p) == '=') {
            if (!quoted) {
                whole = {start, length};
                return true;
            }
            ++p;
            while (p < length && isCSpace(at(p))) ++p;
            if (p < length && at(p) == '"') {
                const char *last = std::strrchr(line + p + 1, '"');
                if (last != nullptr) {
                    whole = {start, static_cast<regoff_t>(last - line) + 1};
                    return true;
                }
            }
        }
        start = keyEnd > start ? keyEnd : start + 1;
    }
    return false;
}

// Places the two groups inside a whole match of a line pattern. The shape of
// both patterns fixes them once the match is known: from its start, white
// space, the key (letters and digits), white space, "=", white space, then
// the value, which in the quoted form lies between the double quote found
// there and the final double quote of the match, and in the unquoted form runs
// to the end of the match. Leftmost-longest matching leaves no other split,
// but for where an empty key lies, which nothing sees. False when the match
// does not have that shape.
bool locateGroups(const char *line, bool quoted, regmatch_t (&groups)[4]) {
    const regoff_t end = groups[0].rm_eo;
    auto at = [line](regoff_t i) { return static_cast<unsigned char>(line[i]); };
    regoff_t p = groups[0].rm_so;
    while (p < end && isCSpace(at(p))) ++p;
    groups[1].rm_so = p;
    while (p < end && isCAlnum(at(p))) ++p;
    groups[1].rm_eo = p;
    while (p < end && isCSpace(at(p))) ++p;
    if (p >= end || at(p) != '=') return false;
    ++p;
    while (p < end && isCSpace(at(p))) ++p;
    if (quoted) {
        if (p >= end - 1 || at(p) != '"' || at(end - 1) != '"') return false;
        groups[2].rm_so = p + 1;
        groups[2].rm_eo = end - 1;
    } else {
        groups[2].rm_so = p;
        groups[2].rm_eo = end;
    }
    groups[3].rm_so = groups[3].rm_eo = -1;
    return true;
}

// Matches a line pattern and fills its groups: the whole match is found as
// the matcher finds it, the groups follow from the pattern's shape. A match
// of another shape has the matcher assign the groups itself.
bool matchLine(const Regex &pattern, bool quoted, const char *line, regmatch_t (&groups)[4]) {
    if (!findMatch(line, quoted, groups[0])) return false;
    return locateGroups(line, quoted, groups) || pattern.match(line, groups);
}

// Applies one line to the record; lines of neither form, and keys that no
// field takes, leave it as it was.
void applyLine(const Patterns &forms, const char *line, PPInfo *record) {
    regmatch_t groups[4];
    char key[kLineSize];
    char value[kLineSize];
    if (std::strchr(line, '=') == nullptr) return;
    if (matchLine(forms.quoted, /*quoted=*/true, line, groups)) {
        groupText(line, groups[1], key);
        groupText(line, groups[2], value);
        if (std::strcmp(key, "ProductName") == 0) {
            storeValue(record->ProductName, value);
        } else if (std::strcmp(key, "DisplayName") == 0) {
            storeValue(record->DisplayName, value);
        } else if (std::strcmp(key, "LanguageID") == 0) {
            storeValue(record->LanguageID, std::strcmp(value, "E") == 0 ? "1033" : "1041");
        } else if (std::strcmp(key, "Version") == 0) {
            storeValue(record->Version, value);
        } else if (std::strcmp(key, "ReportTableName") == 0) {
            storeReportTables(record, value);
        }
    } else if (matchLine(forms.unquoted, /*quoted=*/false, line, groups)) {
        groupText(line, groups[1], key);
        groupText(line, groups[2], value);
        if (std::strcmp(key, "ProductID") == 0) storeValue(record->ProductID, value);
    }
}

// `known`, when not null, is the file's status as the caller has just
// queried it. The record is `into` when not null, else one from malloc.
PPInfo *readReportInformation(const char *filename, const struct stat *known, PPInfo *into) {
    constexpr const char *kName = "QORPPLX_readRI";
    if (filename == nullptr) {
        TRACE_AS(kName, kError, "status file %s error. ", "NULL");
        return nullptr;
    }
    if (std::strlen(filename) >= PPINFO_FILENAME_SIZE) {
        TRACE_AS(kName, kError, "the file name is too long for the record : %s", filename);
        return nullptr;
    }
    struct stat status {};
    if (known != nullptr) {
        status = *known;
    } else if (::stat(filename, &status) != 0) {
        TRACE_AS(kName, kError, "status file %s error. ", filename);
        return nullptr;
    }
    if ((status.st_mode & kDirectoryBit) != 0) {
        TRACE_AS(kName, kError, "the destination is directory : %s ", filename);
        return nullptr;
    }
    if (status.st_size > QORPPLX_REPORT_INF_MAX_SIZE) {
        TRACE_AS(kName, kError, "the file is too large to deal with (%lld bytes) : %s",
                 static_cast<long long>(status.st_size), filename);
        return nullptr;
    }
    // Never blocking on a pipe or a device, and never one of the registry's
    // own files. The reader's buffer is this call's: nothing is allocated
    // for it, and a typical file is read in one go.
    int fd = OpenFileForReadingAs(filename, &status);
    if (fd < 0) {
        TRACE_AS(kName, kError, "open file error : %s", filename);
        return nullptr;
    }
    char buffer[8192];
    FileReader file(fd, buffer, sizeof buffer);
    UniqueRecord owned;
    PPInfo *record = into;
    if (record == nullptr) {
        owned.reset(static_cast<PPInfo *>(std::malloc(sizeof(PPInfo))));
        if (!owned) {
            TRACE_AS(kName, kError, "no memory for the record of %s", filename);
            return nullptr;
        }
        record = owned.get();
    }
    QORPPLX_PPInfoResetPP(record);
    storeValue(record->FileName, filename);
    record->access = status.st_atim.tv_sec;
    record->modify = status.st_mtim.tv_sec;
    record->change = status.st_ctim.tv_sec;

    const Patterns &forms = patterns();
    if (!forms.ready) {
        TRACE_AS(kName, kRegex, "regcomp() failed.");
        return nullptr;
    }

    CLocaleScope cLocaleScope;
    char line[kLineSize];
    int length;
    while ((length = readLine(&file, line)) >= 0) applyLine(forms, line, record);
    if (length == -2) {
        TRACE_AS(kName, kError, "the line is too long to deal with in the file : %s", filename);
        return nullptr;
    }
    record->next = nullptr;
    owned.release();
    return record;
}

// QORPPLX_readRI, and for the scan with the status it has just queried, into
// a record of its own.
PPInfo *readRI(const char *filename, const struct stat *known, PPInfo *into) noexcept {
    constexpr const char *kName = "QORPPLX_readRI";
    TRACE_AS(kName, kDetail, ">Params: filename=%s", filename);
    PPInfo *result = nullptr;
    try {
        result = readReportInformation(filename, known, into);
    } catch (...) {
        TRACE_AS(kName, kError, "no memory to read %s", filename);
        result = nullptr;
    }
    TRACE_AS(kName, kDetail, "< return value %p", static_cast<void *>(result));
    return result;
}

// ---- The scan ------------------------------------------------------------------

constexpr const char kReportDir[] = QORPPLX_REPORT_INF_DIR;

// True when `path` can be queried, following symbolic links, and is a
// regular file, whose status is left in `status`. Pipes are never opened.
bool isReportFile(const char *path, struct stat &status) {
    TRACE(kDetail, ">Params: path=%s", path);
    bool regular = false;
    if (::stat(path, &status) != 0) {
        TRACE(kProgress, "can't get file's status : %s", path);
    } else {
        regular = S_ISREG(status.st_mode);
    }
    TRACE(kDetail, "< return value %d", regular ? 1 : 0);
    return regular;
}

// The names of a directory's entries, "." and ".." among them, in the order
// the directory gives them, one after another in one buffer.
class Listing {
  public:
    // False when the directory cannot be opened or read to its end.
    bool read(const char *directory) {
        std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(directory), closedir);
        if (dir == nullptr) return false;
        errno = 0;
        while (const dirent *entry = readdir(dir.get())) {
            starts_.push_back(names_.size());
            names_.append(entry->d_name, std::strlen(entry->d_name) + 1);
        }
        return errno == 0;
    }

    std::size_t count() const { return starts_.size(); }
    const char *name(std::size_t index) const { return names_.data() + starts_[index]; }

  private:
    std::string names_;  // each name with its NUL
    std::vector<std::size_t> starts_;
};

// A record's FileName as the index compares it.
std::string_view fileNameOf(const PPInfo *record) {
    return {record->FileName, strnlen(record->FileName, sizeof record->FileName)};
}

// The list as the scan sees it. A directory that has not changed lists its
// files in the order the last scan appended their records, so the index
// first follows the list: while every file found is the next record's, each
// record is read once, when it is compared. The first file that is not sets
// up the table: the records by FileName (the first in list order for a
// name) in one open-addressed table of name hashes, and the last record for
// appending. Either way the index, not the record, tells which records the
// scan has kept, and only the others are marked for removal at the end.
class ScanIndex {
  public:
    // `room`: the files listed, so that the table is laid out once when there
    // are no more records than files.
    ScanIndex(PPInfo *head, std::size_t room) : head_(head), next_(head), room_(room) {
        prefetch(next_);
    }

    // The record listed for `path`, kept by the scan from now on; nullptr
    // when none is.
    PPInfo *keep(std::string_view path) {
        if (slots_.empty()) {
            if (next_ != nullptr && fileNameOf(next_) == path) {
                PPInfo *record = next_;
                next_ = next_->next;
                prefetch(next_);
                return record;
            }
            layOut();
        }
        Slot &slot = slotFor(std::hash<std::string_view>{}(path), path);
        if (slot.record != nullptr) slot.kept = true;
        return slot.record;
    }

    // Appends a record of a name that keep() found no record for, kept.
    void append(PPInfo **head, PPInfo *record) {
        // Appending behind the known tail walks no further than one record.
        if (tail_ == nullptr) {
            *head = QORPPLX_PPInfoAddPP(*head, record);
        } else {
            QORPPLX_PPInfoAddPP(tail_, record);
        }
        tail_ = record;
        insert(record, /*kept=*/true);
    }

    // Marks every record the scan did not keep for removal.
    void markTheRestRemoved() const {
        if (slots_.empty()) {
            for (PPInfo *p = next_; p != nullptr; p = p->next) p->op = PPOP_REMOVE;
            return;
        }
        for (const Slot &slot : slots_) {
            if (slot.record != nullptr && !slot.kept) slot.record->op = PPOP_REMOVE;
        }
    }

  private:
    // Starts loading the lines of `record` that the comparison with the next
    // file reads, so that they arrive while that file is read. A list of
    // thousands of records is far larger than the caches.
    static void prefetch(const PPInfo *record) {
        if (record == nullptr) return;
        __builtin_prefetch(record);
        __builtin_prefetch(&record->FileName[sizeof record->FileName - 1]);
        __builtin_prefetch(&record->modify);
        __builtin_prefetch(&record->op, /*write=*/1);
    }

    struct Slot {
        std::size_t hash = 0;
        PPInfo *record = nullptr;
        bool kept = false;
    };

    // At most half the slots are in use.
    static std::size_t capacityFor(std::size_t records) {
        std::size_t capacity = 16;
        while (capacity < 2 * records) capacity *= 2;
        return capacity;
    }

    std::size_t mask() const { return slots_.size() - 1; }

    // The slot of the record of that name, or the empty slot where it goes.
    Slot &slotFor(std::size_t hash, std::string_view name) {
        for (std::size_t i = hash & mask();; i = (i + 1) & mask()) {
            Slot &slot = slots_[i];
            if (slot.record == nullptr || (slot.hash == hash && fileNameOf(slot.record) == name)) {
                return slot;
            }
        }
    }

    // False when a record of the same name is there already.
    bool insert(PPInfo *record, bool kept) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        std::string_view name = fileNameOf(record);
        std::size_t hash = std::hash<std::string_view>{}(name);
        Slot &slot = slotFor(hash, name);
        if (slot.record != nullptr) return false;
        slot = Slot{hash, record, kept};
        ++used_;
        return true;
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot &slot : old) {
            if (slot.record == nullptr) continue;
            std::size_t i = slot.hash & mask();
            while (slots_[i].record != nullptr) i = (i + 1) & mask();
            slots_[i] = slot;
        }
    }

    // The table of every record; those before next_ were kept in list order.
    void layOut() {
        slots_.resize(capacityFor(room_));
        bool kept = true;
        for (PPInfo *p = head_; p != nullptr; p = p->next) {
            if (p == next_) kept = false;
            // A later record of a name is never compared: it goes.
            if (!insert(p, kept)) p->op = PPOP_REMOVE;
            tail_ = p;
        }
    }

    PPInfo *const head_;
    PPInfo *next_;  // the record the next file is expected to be
    const std::size_t room_;
    std::vector<Slot> slots_;  // empty while the files follow the list
    std::size_t used_ = 0;
    PPInfo *tail_ = nullptr;
};

// The log and trace lines of a file the scan could not take in.
void scanError(const char *path) {
    pplog("Scan file \"%s\" error\n", path);
    TRACE_AS("QORPPLX_getPPInfo", kError, "Scan file \"%s\" error", path);
}

// Reads the file at `path` into a record on the stack; only a file not
// listed yet is given a record of its own.
void scanEntry(const char *path, PPInfo **head, ScanIndex &index) {
    struct stat status {};
    if (!isReportFile(path, status)) return;
    PPInfo fresh;
    if (readRI(path, &status, &fresh) == nullptr) {
        scanError(path);
        return;
    }
    fresh.Manual = PPTYPE_AUTOMATIC;
    if (fresh.ProductName[0] == '\0') {
        pplog("Product name is not appointed in file \"%s\"\n", path);
        TRACE_AS("QORPPLX_getPPInfo", kProgress, "Product name is not appointed in file \"%s\"",
                 path);
        return;
    }
    PPInfo *listed = index.keep(path);
    if (listed == nullptr) {
        auto *record = static_cast<PPInfo *>(std::malloc(sizeof(PPInfo)));
        if (record == nullptr) {
            TRACE_AS("QORPPLX_readRI", kError, "no memory for the record of %s", path);
            scanError(path);
            return;
        }
        std::memcpy(record, &fresh, sizeof fresh);
        record->op = PPOP_CREATE;
        index.append(head, record);
        return;
    }
    if (QORPPLX_PPInfoNewer(&fresh, listed) != 0) {
        int different = QORPPLX_PPInfoCompPP(&fresh, listed);
        QORPPLX_PPInfoCopyPP(listed, &fresh);
        listed->op = different != 0 ? PPOP_UPDATE : PPOP_NONE;
    } else {
        listed->op = PPOP_NONE;
    }
}

int scanDirectory(PPInfo **head) {
    Listing listing;
    if (!listing.read(kReportDir)) {
        for (PPInfo *p = *head; p != nullptr; p = p->next) p->op = PPOP_REMOVE;
        TRACE_AS("QORPPLX_getPPInfo", kProgress, "< the dir not exist : %s", kReportDir);
        return -1;
    }
    ScanIndex index(*head, listing.count());
    // Room for the directory, "/" and the longest name a directory holds.
    char path[sizeof kReportDir + 1 + NAME_MAX + 1];
    std::memcpy(path, kReportDir, sizeof kReportDir - 1);
    path[sizeof kReportDir - 1] = '/';
    char *const name = path + sizeof kReportDir;
    // From the last entry to the first.
    for (std::size_t i = listing.count(); i-- > 0;) {
        const char *entry = listing.name(i);
        std::memcpy(name, entry, std::strlen(entry) + 1);
        scanEntry(path, head, index);
    }
    index.markTheRestRemoved();
    return 0;
}

}  // namespace

extern "C" {

AMIRTUPT_API PPInfo *QORPPLX_readRI(const char *filename) noexcept {
    return readRI(filename, /*known=*/nullptr, /*into=*/nullptr);
}

AMIRTUPT_API int QORPPLX_getPPInfo(PPInfo **head) noexcept {
    TRACE(kDetail, ">Params: head=%p", static_cast<void *>(head));
    int result = -1;
    TRACE_EXIT("< return value %d", result);
    if (head == nullptr) {
        TRACE(kError, "no list to scan into");
        return result;
    }
    try {
        result = scanDirectory(head);
    } catch (...) {
        // Only the index can fail to allocate; what was scanned so far stays.
        TRACE(kError, "no memory to scan %s", QORPPLX_REPORT_INF_DIR);
        result = -1;
    }
    return result;
}

}  // extern "C"
