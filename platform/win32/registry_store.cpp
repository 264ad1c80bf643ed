// Storage of the registry: connections, statements, transactions and the
// retry around a busy database.
#include "registry_store.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <new>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "agent_root.h"
#include "ascii.h"
#include "file_access.h"
#include "qortrace.h"

namespace w32::reg {

// Lets this file build and tear down connections, whose members are private
// to everyone else.
struct ConnectionAccess {
    static Connection *make() { return new Connection(); }
    static std::unique_ptr<sqlite3, Connection::DbCloser> &db(Connection &c) { return c.db_; }
    static std::string &root(Connection &c) { return c.root_; }
    static std::string &path(Connection &c) { return c.path_; }
    static pid_t &pid(Connection &c) { return c.pid_; }
    static TxnState &txn(Connection &c) { return c.txn_; }
    static LONG &doomCode(Connection &c) { return c.doomCode_; }
    static Connection *&nextAbandoned(Connection &c) { return c.nextAbandoned_; }
    static std::mutex &use(Connection &c) { return c.use_; }
    static std::uint64_t &serial(Connection &c) { return c.serial_; }
    static void forgetChildren(Connection &c) {
        c.children_.clear();
        c.childrenStamp_ = -1;
        c.childrenVersion_ = -1;
    }
    // A new transaction may find that other connections committed meanwhile.
    static void recheckChildren(Connection &c) { c.childrenChecked_ = false; }
    // Closes the database but keeps the object; its thread reopens on next use.
    static void close(Connection &c) {
        for (auto &stmt : c.stmts_) stmt.reset();
        c.db_.reset();
        forgetChildren(c);
    }
};

namespace {

constexpr const char kTraceSource[] = "w32compat";
// "ORVR": marks a database as this registry's.
constexpr std::int64_t kApplicationId = 0x4F525652;
// 2: values in (key, fold) order, each with the time it was last set, so
// that setting a value changes one row, not also its key's.
// 3: the parent's last-write time is raised by the call that creates a key,
// no longer by a trigger (a trigger's program costs more than the update).
constexpr std::int64_t kSchemaVersion = 3;
constexpr int kBusyTimeoutMs = 5000;
constexpr auto kBusyGiveUp = std::chrono::seconds(60);

using A = ConnectionAccess;

// A key's last-write time: its own (creation, subkeys made or deleted,
// values deleted) or that of its latest value write, whichever is later.
#define KEY_TIME(id) \
    "max(keys.mtime, ifnull((SELECT max(v.mtime) FROM vals v WHERE v.key = " id "), 0))"

// Version 2 raised a parent's last-write time in the statement that created
// a key.
#define KEYS_TOUCH_PARENT \
    "CREATE TRIGGER keys_touch_parent AFTER INSERT ON keys "               \
    "WHEN NEW.parent IS NOT NULL BEGIN "                                   \
    "UPDATE keys SET mtime = max(NEW.mtime, " KEY_TIME("keys.id") " + 1) " \
    "WHERE id = NEW.parent; END"

// The values, kept in (key, fold) order so that a key's values share pages
// and a value is found without a second lookup. id orders them as first
// written within their key; mtime is when the value was last set.
#define VALS_TABLE(name)                  \
    "CREATE TABLE " name                  \
    "("                                   \
    "  key INTEGER NOT NULL,"             \
    "  fold BLOB NOT NULL,"               \
    "  id INTEGER NOT NULL,"              \
    "  name BLOB NOT NULL,"               \
    "  type INTEGER NOT NULL,"            \
    "  data BLOB NOT NULL,"               \
    "  mtime INTEGER NOT NULL DEFAULT 0," \
    "  PRIMARY KEY(key, fold)) WITHOUT ROWID"

const char *const kSchema =
    "CREATE TABLE keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER,"           // NULL for the root key
    "  name BLOB NOT NULL,"       // as first written
    "  fold BLOB NOT NULL,"       // ASCII upper-cased: the name as compared
    "  mtime INTEGER NOT NULL);"  // last-write time of the key itself, FILETIME ticks
    "CREATE UNIQUE INDEX keys_by_parent ON keys(parent, fold);"
    VALS_TABLE("vals") ";"
    "CREATE INDEX vals_in_order ON vals(key, id);";

const char *sqlText(Sql sql) {
    switch (sql) {
        case Sql::Begin:
            return "BEGIN";
        case Sql::BeginImmediate:
            return "BEGIN IMMEDIATE";
        case Sql::Commit:
            return "COMMIT";
        case Sql::Rollback:
            return "ROLLBACK";
        case Sql::Savepoint:
            return "SAVEPOINT regcall";
        case Sql::ReleaseSavepoint:
            return "RELEASE regcall";
        case Sql::RollbackToSavepoint:
            return "ROLLBACK TO regcall";
        case Sql::FindChild:
            return "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2";
        case Sql::KeyAlive:
            return "SELECT 1 FROM keys WHERE id = ?1";
        case Sql::InsertKey:
            // An existing key of the name is left alone. With nothing in it
            // that can abort, the insert needs no statement journal (a copy
            // of every page it changes).
            return "INSERT OR IGNORE INTO keys(parent, name, fold, mtime) VALUES(?1, ?2, ?3, ?4)";
        case Sql::TouchKey:
            return "UPDATE keys SET mtime = max(?2, " KEY_TIME("keys.id") " + 1) WHERE id = ?1";
        case Sql::KeyParent:
            return "SELECT parent FROM keys WHERE id = ?1";
        case Sql::HasSubkeys:
            return "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1";
        case Sql::DeleteKeyValues:
            return "DELETE FROM vals WHERE key = ?1";
        case Sql::DeleteKey:
            return "DELETE FROM keys WHERE id = ?1";
        case Sql::UpsertValue:
            return "INSERT INTO vals(key, name, fold, type, data, mtime, id) "
                   "VALUES(?1, ?2, ?3, ?4, ?5, ?6, "
                   "(SELECT ifnull(max(id), 0) + 1 FROM vals WHERE key = ?1)) "
                   "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, "
                   "data = excluded.data, mtime = excluded.mtime";
        case Sql::KeyTime:
            return "SELECT " KEY_TIME("keys.id") " FROM keys WHERE id = ?1";
        case Sql::QueryValue:
            return "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2";
        case Sql::DeleteValue:
            return "DELETE FROM vals WHERE key = ?1 AND fold = ?2";
        case Sql::EnumKey:
            return "SELECT name, " KEY_TIME("keys.id") ", fold FROM keys WHERE parent = ?1 "
                   "ORDER BY fold "
                   "LIMIT 1 OFFSET ?2";
        case Sql::EnumKeyAfter:
            return "SELECT name, " KEY_TIME("keys.id") ", fold FROM keys WHERE parent = ?1 "
                   "AND fold > ?2 "
                   "ORDER BY fold LIMIT 1";
        case Sql::EnumValue:
            return "SELECT name, type, data, id FROM vals WHERE key = ?1 ORDER BY id "
                   "LIMIT 1 OFFSET ?2";
        case Sql::EnumValueAfter:
            return "SELECT name, type, data, id FROM vals WHERE key = ?1 AND id > ?2 "
                   "ORDER BY id LIMIT 1";
        case Sql::DataVersion:
            return "PRAGMA data_version";
        case Sql::KeyInfo:
            return "SELECT " KEY_TIME("keys.id") ","
                   " (SELECT count(*) FROM keys WHERE parent = ?1),"
                   " (SELECT ifnull(max(length(name)), 0) FROM keys WHERE parent = ?1),"
                   " (SELECT count(*) FROM vals WHERE key = ?1),"
                   " (SELECT ifnull(max(length(name)), 0) FROM vals WHERE key = ?1),"
                   " (SELECT ifnull(max(length(data)), 0) FROM vals WHERE key = ?1)"
                   " FROM keys WHERE id = ?1";
        case Sql::Count:
            break;
    }
    return "";
}

bool isBusy(int rc) {
    int primary = rc & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

LONG win32Code(int rc) {
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return kErrorBusy;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return kErrorRegistryCorrupt;
        case SQLITE_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return kErrorRegistryIoFailed;
    }
}

// This process's id, kept current by a fork handler so that telling an
// inherited connection from our own costs no system call.
std::atomic<pid_t> processId{0};
std::atomic<std::uint64_t> lastSerial{0};

// Connections left behind by a parent process. They are never touched again;
// the list keeps them reachable so that they are not reported as leaks.
std::atomic<Connection *> abandonedConnections{nullptr};

void abandon(Connection *conn) noexcept {
    Connection *head = abandonedConnections.load(std::memory_order_relaxed);
    do {
        A::nextAbandoned(*conn) = head;
    } while (!abandonedConnections.compare_exchange_weak(head, conn));
}

// The device and inode of one of the database's files.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool known = false;
};
using DatabaseFiles = std::array<FileId, 3>;  // the database, its -wal and its -shm

// Every open connection of the process, for the fork handlers, with the
// identities of the files it holds locks on (isRegistryFile).
struct LiveConnections {
    std::mutex lock;
    std::vector<Connection *> conns;
    std::unordered_map<const Connection *, DatabaseFiles> files;
};

DatabaseFiles filesOf(const std::string &databasePath) {
    DatabaseFiles files;
    const char *suffixes[] = {"", "-wal", "-shm"};
    for (size_t i = 0; i < files.size(); ++i) {
        struct stat status {};
        std::string path = databasePath + suffixes[i];
        if (::stat(path.c_str(), &status) == 0) files[i] = {status.st_dev, status.st_ino, true};
    }
    return files;
}
LiveConnections &live() {
    static auto *l = new LiveConnections;  // never destroyed: threads end after exit() begins
    return *l;
}

Connection *threadConnPointer() noexcept;

// Before fork(): close every connection not in use and not inside a
// transaction. SQLite keeps per-process records of the database's files and
// of the locks the process holds on them; a child that inherited those
// records without the locks (which fork() does not pass on) could have the
// log reset or deleted under it once the parent's connections are gone. A
// connection busy in another thread is waited for briefly, then left open.
void beforeFork() {
    LiveConnections &l = live();
    l.lock.lock();
    for (Connection *conn : l.conns) {
        std::unique_lock use(A::use(*conn), std::defer_lock);
        for (int i = 0; i < 100 && !use.try_lock(); ++i) usleep(1000);
        if (use.owns_lock() && A::txn(*conn) == TxnState::None && conn->db() != nullptr) {
            A::close(*conn);
        }
    }
}

void afterForkInParent() {
    live().lock.unlock();
}

void afterForkInChild() {
    processId.store(getpid(), std::memory_order_relaxed);
    LiveConnections &l = live();
    // Only the forking thread exists here; its own connection is abandoned on
    // its next call, every other one now.
    Connection *own = threadConnPointer();
    for (Connection *conn : l.conns) {
        if (conn != own) abandon(conn);
    }
    l.conns.clear();
    l.files.clear();
    l.lock.unlock();
}

void watchForks() {
    static const bool watching = [] {
        processId.store(getpid(), std::memory_order_relaxed);
        pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
        return true;
    }();
    (void)watching;
}

pid_t currentPid() {
    return processId.load(std::memory_order_relaxed);
}

// Owner of the calling thread's connection: closes it when the thread ends,
// unless the connection came from the parent process through fork().
struct ThreadConnection {
    Connection *conn = nullptr;
    ~ThreadConnection() { drop(); }
    void drop() noexcept {
        if (conn == nullptr) return;
        if (A::pid(*conn) == currentPid()) {
            {
                LiveConnections &l = live();
                std::lock_guard guard(l.lock);
                std::erase(l.conns, conn);
                l.files.erase(conn);
            }
            delete conn;
        } else {
            abandon(conn);
        }
        conn = nullptr;
    }
};
thread_local ThreadConnection threadConnection;

Connection *threadConnPointer() noexcept {
    return threadConnection.conn;
}

void check(sqlite3 *db, int rc) {
    if (rc != SQLITE_OK) throw DbError{rc == SQLITE_ERROR ? sqlite3_extended_errcode(db) : rc};
}

std::int64_t pragmaValue(sqlite3 *db, const char *sql) {
    sqlite3_stmt *raw = nullptr;
    check(db, sqlite3_prepare_v2(db, sql, -1, &raw, nullptr));
    StmtPtr stmt(raw);
    int rc = sqlite3_step(raw);
    if (rc == SQLITE_ROW) return sqlite3_column_int64(raw, 0);
    if (rc == SQLITE_DONE) return 0;
    throw DbError{rc};
}

// Schema changes from an older version of this registry, in order: entry i
// takes a database from user_version i + 1 to i + 2.
const char *const kUpgrades[] = {
    VALS_TABLE("vals_v2") ";"
    "INSERT INTO vals_v2(key, fold, id, name, type, data)"
    "  SELECT key, fold, id, name, type, data FROM vals;"
    "DROP TABLE vals;"
    "ALTER TABLE vals_v2 RENAME TO vals;"
    "CREATE INDEX vals_in_order ON vals(key, id);" KEYS_TOUCH_PARENT ";",
    "DROP TRIGGER keys_touch_parent;",
};
static_assert(std::size(kUpgrades) == kSchemaVersion - 1);
#undef KEYS_TOUCH_PARENT
#undef VALS_TABLE
#undef KEY_TIME

// Creates the tables in an empty database and brings one of an older version
// of this registry up to date; a database that holds anything else, or comes
// from a newer version, is refused, never replaced.
void ensureSchema(sqlite3 *db) {
    if (pragmaValue(db, "PRAGMA application_id") == kApplicationId &&
        pragmaValue(db, "PRAGMA user_version") == kSchemaVersion) {
        return;
    }
    check(db, sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
    try {
        std::int64_t id = pragmaValue(db, "PRAGMA application_id");
        if (id == 0) {
            if (pragmaValue(db, "SELECT count(*) FROM sqlite_master") != 0) {
                throw DbError{SQLITE_NOTADB};
            }
            check(db, sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr));
            std::string root = "INSERT INTO keys(id, parent, name, fold, mtime) VALUES(" +
                               std::to_string(kRootKeyId) + ", NULL, x'', x'', " +
                               std::to_string(fileTimeNow()) + ");" +
                               "PRAGMA application_id = " + std::to_string(kApplicationId) + ";" +
                               "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";";
            check(db, sqlite3_exec(db, root.c_str(), nullptr, nullptr, nullptr));
        } else if (id != kApplicationId) {
            throw DbError{SQLITE_NOTADB};
        } else {
            std::int64_t version = pragmaValue(db, "PRAGMA user_version");
            if (version < 1 || version > kSchemaVersion) throw DbError{SQLITE_NOTADB};
            for (; version < kSchemaVersion; ++version) {
                check(db, sqlite3_exec(db, kUpgrades[version - 1], nullptr, nullptr, nullptr));
            }
            std::string stamp = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
            check(db, sqlite3_exec(db, stamp.c_str(), nullptr, nullptr, nullptr));
        }
        check(db, sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
    } catch (...) {
        if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

// Opens <root>/var/registry.db, creating var/ and an empty registry when they
// are missing. Throws DbError; errnoOut receives the system error of a failed
// directory creation.
Connection *openConnection(std::string_view root, std::string &pathOut, int &errnoOut) {
    watchForks();
    std::unique_ptr<Connection> conn(A::make());
    A::root(*conn) = root;
    std::string dir = std::string(root) + "/var";
    std::string &path = A::path(*conn);
    path = dir + "/registry.db";
    pathOut = path;
    if (!orv::access::makeFolder(dir.c_str()) && errno != EEXIST) {
        errnoOut = errno;
        throw DbError{SQLITE_CANTOPEN};
    }
    struct stat before {};
    bool created = ::stat(path.c_str(), &before) != 0;
    sqlite3 *raw = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    A::db(*conn).reset(raw);
    if (rc != SQLITE_OK) {
        if (rc == SQLITE_CANTOPEN) errnoOut = raw != nullptr ? sqlite3_system_errno(raw) : 0;
        throw DbError{rc};
    }
    // A new database gets the agent's mode by name (never through a
    // descriptor of ours: closing one would drop SQLite's locks), before the
    // log files exist: SQLite gives them the database's mode.
    if (created) orv::access::makePrivate(path.c_str(), /*folder=*/false);
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    check(raw, sqlite3_exec(raw, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr));
    // With the write-ahead log, NORMAL loses no committed call when a process
    // dies; only a power cut may take back the last calls, never consistency.
    check(raw, sqlite3_exec(raw, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr));
    ensureSchema(raw);
    // The files exist now (the log and its index with the first read in WAL
    // mode); while this connection lives, nobody else deletes them.
    DatabaseFiles files = filesOf(path);
    A::pid(*conn) = currentPid();
    A::serial(*conn) = ++lastSerial;
    LiveConnections &l = live();
    std::lock_guard guard(l.lock);
    l.conns.push_back(conn.get());
    l.files[conn.get()] = files;
    return conn.release();
}

// The calling thread's connection, opened on first use (and again after a
// fork, a close before a fork, or a change of ORV_ROOT outside a
// transaction); use receives its lock, held for the call.
Connection &threadConn(std::string &pathOut, int &errnoOut, std::unique_lock<std::mutex> &use) {
    ThreadConnection &tc = threadConnection;
    if (tc.conn != nullptr && A::pid(*tc.conn) != currentPid()) {
        abandon(tc.conn);
        tc.conn = nullptr;
    }
    if (tc.conn != nullptr) {
        use = std::unique_lock(A::use(*tc.conn));
        // A transaction keeps its connection whatever ORV_ROOT says now.
        bool stale = tc.conn->db() == nullptr ||
                     (A::txn(*tc.conn) == TxnState::None && A::root(*tc.conn) != orv::agentRoot());
        if (!stale) return *tc.conn;
        use.unlock();
        use.release();
        tc.drop();
    }
    tc.conn = openConnection(orv::agentRoot(), pathOut, errnoOut);
    use = std::unique_lock(A::use(*tc.conn));
    return *tc.conn;
}

LONG report(const char *caller, const std::string &path, const DbError &error, int sysErrno) {
    if (sysErrno != 0) {
        TraceLog(1, kTraceSource, caller, __LINE__, "registry database %s: %s (%d): %s",
                 path.c_str(), sqlite3_errstr(error.rc), error.rc, std::strerror(sysErrno));
    } else if ((error.rc & 0xff) == SQLITE_NOTADB || (error.rc & 0xff) == SQLITE_CORRUPT) {
        TraceLog(1, kTraceSource, caller, __LINE__,
                 "registry database %s is damaged or not a registry database: %s (%d)",
                 path.c_str(), sqlite3_errstr(error.rc), error.rc);
    } else {
        TraceLog(1, kTraceSource, caller, __LINE__, "registry database %s: %s (%d)", path.c_str(),
                 sqlite3_errstr(error.rc), error.rc);
    }
    return win32Code(error.rc);
}

// Undoes what a failed call did: the whole transaction of a call of its own,
// or the call's savepoint inside the thread's transaction. When SQLite itself
// ended the thread's transaction, the transaction is doomed; so it is when a
// call without a savepoint (`halfDone`) failed after it had changed rows,
// which leaves nothing of the transaction.
void undoCall(Connection &conn, bool inTxn, bool savepoint, bool halfDone, LONG code) noexcept {
    sqlite3 *db = conn.db();
    if (inTxn) {
        if (!sqlite3_get_autocommit(db) && halfDone) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        if (sqlite3_get_autocommit(db)) {
            A::txn(conn) = TxnState::Doomed;
            A::doomCode(conn) = code;
            return;
        }
        if (savepoint) {
            sqlite3_exec(db, "ROLLBACK TO regcall; RELEASE regcall", nullptr, nullptr, nullptr);
        }
    } else if (!sqlite3_get_autocommit(db)) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void backoff(int attempt) {
    thread_local std::minstd_rand random(static_cast<unsigned>(getpid()) ^
                                         static_cast<unsigned>(std::time(nullptr)));
    // Up to 1, 2, 4 ... 50 ms, so that waiting processes do not retry in step.
    const std::uint32_t ceilingUs =
        1000u * static_cast<std::uint32_t>(std::min(50, 1 << std::min(attempt, 6)));
    std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % ceilingUs));
}

}  // namespace

Query::Query(Connection &conn, Sql sql) : stmt_(conn.statement(sql)), db_(conn.db()) {}

Query::~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

Query &Query::bind(int index, std::int64_t value) {
    check(db_, sqlite3_bind_int64(stmt_, index, value));
    return *this;
}

Query &Query::bindBlob(int index, const void *data, std::size_t size) {
    static const char kEmpty = 0;
    check(db_, sqlite3_bind_blob64(stmt_, index, size != 0 ? data : &kEmpty, size, SQLITE_STATIC));
    return *this;
}

Query &Query::bindBlob(int index, std::string_view bytes) {
    return bindBlob(index, bytes.data(), bytes.size());
}

bool Query::step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw DbError{rc};
}

bool Query::isNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Query::integer(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

std::string_view Query::blob(int column) const {
    const void *data = sqlite3_column_blob(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || size <= 0) return {};
    return {static_cast<const char *>(data), static_cast<std::size_t>(size)};
}

Connection::~Connection() {
    for (auto &stmt : stmts_) stmt.reset();
}

sqlite3_stmt *Connection::statement(Sql sql) {
    StmtPtr &slot = stmts_[static_cast<int>(sql)];
    if (!slot) {
        sqlite3_stmt *raw = nullptr;
        int rc = sqlite3_prepare_v3(db_.get(), sqlText(sql), -1, SQLITE_PREPARE_PERSISTENT, &raw,
                                    nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(raw);
            throw DbError{rc == SQLITE_ERROR ? sqlite3_extended_errcode(db_.get()) : rc};
        }
        slot.reset(raw);
    }
    return slot.get();
}

namespace {
// A long transaction keeps no more lookups than this; past it they start over.
constexpr std::size_t kMaxKnownChildren = 4096;
}  // namespace

bool Connection::childrenValid() {
    if (!keepsChildren()) return false;
    if (!childrenChecked_) {
        // In a snapshot that has read nothing yet, this read fixes what it sees.
        Query q(*this, Sql::DataVersion);
        std::int64_t version = q.step() ? q.integer(0) : -1;
        if (version != childrenVersion_ || version < 0) {
            children_.clear();
            childrenVersion_ = version;
        }
        childrenChecked_ = true;
    }
    std::int64_t stamp = sqlite3_total_changes64(db_.get());
    if (stamp != childrenStamp_) {
        children_.clear();
        childrenStamp_ = stamp;
    }
    return true;
}

std::int64_t Connection::knownChild(std::int64_t parent, std::string_view folded) {
    if (!childrenValid()) return 0;
    auto found = children_.find(std::pair{parent, folded});
    return found != children_.end() ? found->second : 0;
}

std::string_view Connection::foldPath(std::string_view path) {
    foldedPath_.assign(path);
    for (char &c : foldedPath_) c = orv::foldAscii(c);
    return foldedPath_;
}

void Connection::rememberChild(std::int64_t parent, std::string_view folded, std::int64_t child) {
    if (!childrenValid()) return;
    if (children_.size() >= kMaxKnownChildren) children_.clear();
    children_.emplace(std::pair{parent, std::string(folded)}, child);
}

LONG runCall(const char *caller, Access access, LONG (*body)(void *, Connection &),
             void *context) noexcept {
    // The clock is read once the database is first found busy: a call that
    // finds it free pays for no clock.
    std::chrono::steady_clock::time_point giveUp{};
    for (int attempt = 0;; ++attempt) {
        std::string path;  // where the connection failed to open
        int sysErrno = 0;
        Connection *conn = nullptr;
        bool inTxn = false;
        bool savepoint = false;
        std::int64_t changesBefore = -1;  // of a call in the transaction without a savepoint
        std::unique_lock<std::mutex> use;
        // True when the call changed rows that no savepoint can take back.
        auto halfDone = [&] {
            return changesBefore >= 0 && sqlite3_total_changes64(conn->db()) != changesBefore;
        };
        try {
            conn = &threadConn(path, sysErrno, use);
            TxnState txn = A::txn(*conn);
            if (txn == TxnState::Doomed) return A::doomCode(*conn);
            inTxn = txn == TxnState::Open;
            if (access == Access::Single) return body(context, *conn);
            if (txn == TxnState::Snapshot) return ERROR_ACCESS_DENIED;  // reads only
            // A call of one change (one statement, or a key's insert and its
            // parent's new time) takes no savepoint, which would only copy
            // the pages it changes once more; should it fail half-way, the
            // transaction is doomed.
            if (inTxn && access == Access::Statement) {
                changesBefore = sqlite3_total_changes64(conn->db());
                return body(context, *conn);
            }
            if (inTxn) {
                conn->exec(Sql::Savepoint);
                savepoint = true;
                LONG rc = body(context, *conn);
                if (rc != ERROR_SUCCESS) conn->exec(Sql::RollbackToSavepoint);
                conn->exec(Sql::ReleaseSavepoint);
                return rc;
            }
            conn->exec(Sql::BeginImmediate);
            LONG rc = body(context, *conn);
            conn->exec(rc == ERROR_SUCCESS ? Sql::Commit : Sql::Rollback);
            return rc;
        } catch (const DbError &error) {
            if (conn != nullptr) undoCall(*conn, inTxn, savepoint, halfDone(), win32Code(error.rc));
            if (isBusy(error.rc) && !inTxn) {
                auto now = std::chrono::steady_clock::now();
                if (attempt == 0) giveUp = now + kBusyGiveUp;
                if (now < giveUp) {
                    backoff(attempt);
                    continue;
                }
            }
            const std::string &where = conn != nullptr ? conn->path() : path;
            if (conn == nullptr && isBusy(error.rc)) {
                // A database that could not be set up for lack of the lock.
                return report(caller, where, error, 0);
            }
            return report(caller, where, error, sysErrno);
        } catch (const std::bad_alloc &) {
            if (conn != nullptr)
                undoCall(*conn, inTxn, savepoint, halfDone(), ERROR_NOT_ENOUGH_MEMORY);
            return ERROR_NOT_ENOUGH_MEMORY;
        } catch (...) {
            if (conn != nullptr)
                undoCall(*conn, inTxn, savepoint, halfDone(), kErrorRegistryIoFailed);
            return kErrorRegistryIoFailed;
        }
    }
}

LONG beginTransaction(bool snapshot) noexcept {
    const auto giveUp = std::chrono::steady_clock::now() + kBusyGiveUp;
    for (int attempt = 0;; ++attempt) {
        std::string path;
        int sysErrno = 0;
        std::unique_lock<std::mutex> use;
        try {
            Connection &conn = threadConn(path, sysErrno, use);
            path = conn.path();
            if (A::txn(conn) != TxnState::None) return ERROR_ALREADY_EXISTS;
            // A snapshot takes no lock: its first read fixes what it sees
            // (the write-ahead log keeps that state for it), writers go on.
            conn.exec(snapshot ? Sql::Begin : Sql::BeginImmediate);
            A::txn(conn) = snapshot ? TxnState::Snapshot : TxnState::Open;
            A::recheckChildren(conn);
            return ERROR_SUCCESS;
        } catch (const DbError &error) {
            if (isBusy(error.rc) && std::chrono::steady_clock::now() < giveUp) {
                backoff(attempt);
                continue;
            }
            return report(snapshot ? "RegBeginSnapshot" : "RegBeginTransaction", path, error,
                          sysErrno);
        } catch (const std::bad_alloc &) {
            return ERROR_NOT_ENOUGH_MEMORY;
        } catch (...) {
            return kErrorRegistryIoFailed;
        }
    }
}

namespace {

// The calling thread's connection when it holds a transaction, else nullptr.
// The calling thread's connection, locked in use, when it holds a
// transaction; else nullptr. A connection inside a transaction is never
// closed before a fork, so it is open.
Connection *transactionConn(std::unique_lock<std::mutex> &use) noexcept {
    Connection *conn = threadConnection.conn;
    if (conn == nullptr || A::pid(*conn) != currentPid() || A::txn(*conn) == TxnState::None) {
        return nullptr;
    }
    use = std::unique_lock(A::use(*conn));
    return conn;
}

}  // namespace

LONG commitTransaction() noexcept {
    std::unique_lock<std::mutex> use;
    Connection *conn = transactionConn(use);
    if (conn == nullptr) return ERROR_NOT_OWNER;
    if (A::txn(*conn) == TxnState::Doomed) {
        A::txn(*conn) = TxnState::None;
        return A::doomCode(*conn);
    }
    A::txn(*conn) = TxnState::None;
    try {
        conn->exec(Sql::Commit);
        return ERROR_SUCCESS;
    } catch (const DbError &error) {
        if (!sqlite3_get_autocommit(conn->db())) {
            sqlite3_exec(conn->db(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
        return report("RegCommitTransaction", conn->path(), error, 0);
    } catch (...) {
        if (!sqlite3_get_autocommit(conn->db())) {
            sqlite3_exec(conn->db(), "ROLLBACK", nullptr, nullptr, nullptr);
        }
        return kErrorRegistryIoFailed;
    }
}

LONG rollbackTransaction() noexcept {
    std::unique_lock<std::mutex> use;
    Connection *conn = transactionConn(use);
    if (conn == nullptr) return ERROR_NOT_OWNER;
    A::txn(*conn) = TxnState::None;
    if (!sqlite3_get_autocommit(conn->db())) {
        sqlite3_exec(conn->db(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return ERROR_SUCCESS;
}

std::int64_t fileTimeNow() noexcept {
    // 100 ns ticks between 1601-01-01 and 1970-01-01.
    constexpr std::int64_t kEpochDelta = 116444736000000000LL;
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return kEpochDelta + static_cast<std::int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100;
}

}  // namespace w32::reg

namespace w32::reg {

namespace {

// True when one of the database's files at databasePath has this identity.
// All of them live in one folder, so a file on another device is none of
// them after a single status query.
bool isFileOf(const std::string &databasePath, dev_t device, ino_t inode) {
    struct stat status {};
    // Without a database there is no registry whose files could be hurt.
    if (::stat(databasePath.c_str(), &status) != 0) return false;
    if (status.st_dev != device) return false;
    if (status.st_ino == inode) return true;
    for (const char *suffix : {"-wal", "-shm", "-journal"}) {
        std::string path = databasePath + suffix;
        if (::stat(path.c_str(), &status) == 0 && status.st_dev == device &&
            status.st_ino == inode) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool isRegistryFile(dev_t device, ino_t inode) noexcept {
    try {
        // While the process has connections, the files they hold locks on
        // are the ones to protect, and their identities are known without
        // a system call. Without one, no lock can be lost, but the files of
        // the current root are still never opened.
        {
            LiveConnections &l = live();
            std::lock_guard guard(l.lock);
            if (!l.files.empty()) {
                for (const auto &[conn, files] : l.files) {
                    for (const FileId &file : files) {
                        if (file.known && file.device == device && file.inode == inode) {
                            return true;
                        }
                    }
                }
                return false;
            }
        }
        return isFileOf(std::string(orv::agentRoot()) + "/var/registry.db", device, inode);
    } catch (...) {
        // Without the memory to tell, the file is taken for one of them.
        return true;
    }
}

}  // namespace w32::reg
