// Storage of the registry (internal): one SQLite database, <root>/var/registry.db,
// shared by every process of the machine.
//
// Each thread talks to the database through a connection of its own, opened on
// its first registry call and closed when the thread ends. Idle connections
// are closed just before fork(), so that the child starts without any of
// SQLite's per-process state for the database, and reopened on next use. A
// connection the child still inherits (one inside a transaction) is never used
// nor closed by the child: it leaves it alone and opens a fresh one.
//
// Every registry call runs as one unit (run()): a call that changes anything
// is one IMMEDIATE transaction, so a process killed at any moment leaves the
// database as it was before or after the call. A thread that has begun a
// registry transaction runs its calls inside it instead, each call under a
// savepoint of its own so that a failing call leaves nothing behind.
#pragma once

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "w32compat.h"

namespace w32::reg {

// Results of this layer beyond the common Win32 codes.
inline constexpr LONG kErrorBusy = ERROR_BUSY;
inline constexpr LONG kErrorRegistryCorrupt = ERROR_REGISTRY_CORRUPT;
inline constexpr LONG kErrorRegistryIoFailed = ERROR_REGISTRY_IO_FAILED;

// The key behind HKEY_LOCAL_MACHINE.
inline constexpr std::int64_t kRootKeyId = 1;

// The statements the registry uses; each connection prepares them once.
enum class Sql : int {
    Begin,
    BeginImmediate,
    Commit,
    Rollback,
    Savepoint,
    ReleaseSavepoint,
    RollbackToSavepoint,
    FindChild,
    KeyAlive,
    InsertKey,
    TouchKey,
    KeyParent,
    HasSubkeys,
    DeleteKeyValues,
    DeleteKey,
    UpsertValue,
    KeyTime,
    QueryValue,
    DeleteValue,
    EnumKey,
    EnumKeyAfter,
    EnumValue,
    EnumValueAfter,
    KeyInfo,
    DataVersion,
    Count
};

// A failed SQLite call; run() turns it into a Win32 result.
struct DbError {
    int rc;
};

struct StmtFinalizer {
    void operator()(sqlite3_stmt *stmt) const noexcept { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

class Connection;

// One use of a cached statement: bind, step, read columns; reset on scope exit.
// Every failing SQLite call throws DbError.
class Query {
  public:
    Query(Connection &conn, Sql sql);
    ~Query();
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    Query &bind(int index, std::int64_t value);
    // Binds bytes (a name or value data) without copying them: they must stay
    // in place until the query ends. An empty view binds an empty blob, never NULL.
    Query &bindBlob(int index, std::string_view bytes);
    Query &bindBlob(int index, const void *data, std::size_t size);

    // True when a row is ready, false when the statement is done.
    bool step();
    // Runs a statement that returns no rows.
    void run() {
        while (step()) {
        }
    }

    bool isNull(int column) const;
    std::int64_t integer(int column) const;
    std::string_view blob(int column) const;

  private:
    sqlite3_stmt *stmt_;
    sqlite3 *db_;
};

enum class Access {
    Single,     // one reading statement: atomic on its own
    Write,      // changes the registry: one IMMEDIATE transaction (or a savepoint)
    Statement,  // as Write, but the change is one statement, atomic on its own,
                // and a failing result means it changed nothing: no savepoint
};

// The calling thread's registry transaction.
// Snapshot: a read-only transaction (RegBeginSnapshot).
enum class TxnState { None, Open, Doomed, Snapshot };

class Connection {
  public:
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    sqlite3 *db() const noexcept { return db_.get(); }
    // Tells this connection from every other one this process has had.
    std::uint64_t serial() const noexcept { return serial_; }
    sqlite3_stmt *statement(Sql sql);
    void exec(Sql sql) { Query(*this, sql).run(); }
    std::int64_t changes() const noexcept { return sqlite3_changes64(db_.get()); }
    std::int64_t lastInsertId() const noexcept { return sqlite3_last_insert_rowid(db_.get()); }
    const std::string &path() const noexcept { return path_; }

    // Subkeys found by name while the thread holds a transaction: nothing but
    // this connection changes what the transaction sees, so a key found once
    // stays where it is until the connection changes something itself. They
    // carry over to the thread's next transaction when nobody committed
    // anything in between: its first lookup compares the database's data
    // version with the one they were found under. The child's id, or 0 when
    // it is not known.
    std::int64_t knownChild(std::int64_t parent, std::string_view folded);
    void rememberChild(std::int64_t parent, std::string_view folded, std::int64_t child);
    // Whether lookups now may use and fill the known children.
    bool keepsChildren() const noexcept {
        return txn_ == TxnState::Open || txn_ == TxnState::Snapshot;
    }
    // A path of several names folded, for the known children; it stays valid
    // until the next call.
    std::string_view foldPath(std::string_view path);

  private:
    friend struct ConnectionAccess;
    Connection() = default;
    bool childrenValid();

    // (parent, folded name) pairs, looked up by a string_view of the name.
    struct ChildHash {
        using is_transparent = void;
        template <class K>
        std::size_t operator()(const K &k) const noexcept {
            const std::size_t name = std::hash<std::string_view>{}(std::string_view(k.second));
            return name ^ (static_cast<std::size_t>(k.first) * 0x9E3779B97F4A7C15ull);
        }
    };
    struct ChildEqual {
        using is_transparent = void;
        template <class A, class B>
        bool operator()(const A &a, const B &b) const noexcept {
            return a.first == b.first && std::string_view(a.second) == std::string_view(b.second);
        }
    };

    struct DbCloser {
        void operator()(sqlite3 *db) const noexcept { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, DbCloser> db_;
    StmtPtr stmts_[static_cast<int>(Sql::Count)];
    std::mutex use_;  // held by the owning thread during a call, and around fork()
    std::uint64_t serial_ = 0;
    std::string root_;  // the ORV_ROOT value the connection was opened under
    std::string path_;
    pid_t pid_ = 0;
    TxnState txn_ = TxnState::None;
    LONG doomCode_ = 0;
    Connection *nextAbandoned_ = nullptr;
    std::unordered_map<std::pair<std::int64_t, std::string>, std::int64_t, ChildHash, ChildEqual>
        children_;
    std::int64_t childrenStamp_ = -1;    // the connection's change count they hold for
    std::int64_t childrenVersion_ = -1;  // the data version of the database they hold for
    bool childrenChecked_ = false;       // childrenVersion_ compared in this transaction
    std::string foldedPath_;             // of foldPath
};

// Runs body(Connection&) -> LONG as one registry call (see the file comment).
// A call that returns nonzero changes nothing. SQLite failures are traced once
// under caller's name and come back as Win32 results; a busy database is
// waited for and retried, never reported as a failure unless it stays locked
// for a minute.
LONG runCall(const char *caller, Access access, LONG (*body)(void *, Connection &),
             void *context) noexcept;

template <class Body>
LONG run(const char *caller, Access access, Body &&body) noexcept {
    return runCall(
        caller, access,
        [](void *context, Connection &conn) -> LONG {
            return (*static_cast<std::remove_reference_t<Body> *>(context))(conn);
        },
        &body);
}

// The thread-bound transaction of RegBeginTransaction and its siblings.
LONG beginTransaction(bool snapshot = false) noexcept;
LONG commitTransaction() noexcept;
LONG rollbackTransaction() noexcept;

// Now as a FILETIME count: 100 ns ticks since 1601-01-01 UTC.
std::int64_t fileTimeNow() noexcept;

// True when the file with this device and inode is one of the registry's own
// files (the database, its -wal, -shm or -journal) under the current root or
// under a root this process has a connection to.
bool isRegistryFile(dev_t device, ino_t inode) noexcept;

}  // namespace w32::reg
