#include "server/lobby/statestore.h"

#include "server/serverlog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <array>
#include <map>

namespace state {
namespace {

constexpr int kSchemaVersion = 1;

const char* const kSchema = R"(
CREATE TABLE sessions (serial INTEGER PRIMARY KEY, name TEXT NOT NULL, client_id TEXT NOT NULL,
                       address TEXT NOT NULL, address_key TEXT NOT NULL, with_id INTEGER NOT NULL);
CREATE TABLE rooms (serial INTEGER PRIMARY KEY, name TEXT NOT NULL, privacy INTEGER NOT NULL,
                    password TEXT NOT NULL, net INTEGER NOT NULL, host INTEGER NOT NULL,
                    creator TEXT NOT NULL);
CREATE TABLE members (room INTEGER NOT NULL, position INTEGER NOT NULL, session INTEGER NOT NULL,
                      vip INTEGER NOT NULL, PRIMARY KEY (room, position));
CREATE TABLE invitations (room INTEGER NOT NULL, session INTEGER NOT NULL, PRIMARY KEY (room, session));
PRAGMA user_version = 1;
)";

enum Statement {
    PutSession,
    EndSession,
    PutRoom,
    CloseRoom,
    ClearMembers,
    PutMember,
    ClearInvitations,
    PutInvitation,
    DeleteInvitation,
    StatementCount
};

const std::array<const char*, StatementCount> kStatements{
    "INSERT OR REPLACE INTO sessions VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
    "DELETE FROM sessions WHERE serial = ?1",
    "INSERT OR REPLACE INTO rooms VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
    "DELETE FROM rooms WHERE serial = ?1",
    "DELETE FROM members WHERE room = ?1",
    "INSERT INTO members (room, position, session, vip, layer) VALUES (?1, ?2, ?3, ?4, ?5)",
    "DELETE FROM invitations WHERE room = ?1",
    "INSERT OR IGNORE INTO invitations VALUES (?1, ?2)",
    "DELETE FROM invitations WHERE room = ?1 AND session = ?2",
};

QString columnText(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(statement, column)) : QString();
}

quint64 columnSerial(sqlite3_stmt* statement, int column)
{
    return static_cast<quint64>(sqlite3_column_int64(statement, column));
}

class SqliteStore final : public Store
{
public:
    ~SqliteStore() override
    {
        for (sqlite3_stmt* statement : statements_)
            sqlite3_finalize(statement);
        sqlite3_close(db_);
    }

    // Empty string on success, else why the file cannot serve as state.
    QString open(const QString& path, Snapshot* loaded)
    {
        if (!QFileInfo::exists(path)) {
            // The file holds client identifiers and access keys: owner only.
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) ||
                !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
                return QStringLiteral("cannot create it: %1").arg(file.errorString());
        }
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK)
            return problem();
        // One server per file: a second one finds it locked instead of
        // writing over the first one's changes.
        sqlite3_busy_timeout(db_, 200);
        if (!exec("PRAGMA locking_mode=EXCLUSIVE"))
            return problem();
        // WAL: a change is one append, and a killed process leaves the last
        // committed change. NORMAL: no fsync per change; a power cut may lose
        // the latest changes but never mixes two.
        QString mode;
        if (!query("PRAGMA journal_mode=WAL", &mode) || mode != QLatin1String("wal"))
            return mode.isEmpty() ? problem() : QStringLiteral("journal mode %1 refused").arg(mode);
        QString check;
        if (!query("PRAGMA quick_check", &check))
            return problem();
        if (check != QLatin1String("ok"))
            return QStringLiteral("damaged: %1").arg(check);
        QString version;
        if (!query("PRAGMA user_version", &version) || !exec("PRAGMA synchronous=NORMAL"))
            return problem();
        if (version == QLatin1String("0")) {
            if (!exec("BEGIN") || !exec(kSchema) || !exec("COMMIT"))
                return problem();
        } else if (version != QString::number(kSchemaVersion)) {
            return QStringLiteral("written in an unknown layout (version %1)").arg(version);
        }
        // Each member's adapter mode came later: older files get the column, unset.
        bool hasLayer = false;
        if (!each("PRAGMA table_info(members)",
                  [&](sqlite3_stmt* r) {
                      hasLayer = hasLayer || columnText(r, 1) == QLatin1String("layer");
                  }) ||
            (!hasLayer && !exec("ALTER TABLE members ADD COLUMN layer INTEGER NOT NULL DEFAULT 0")))
            return problem();
        for (int i = 0; i < StatementCount; ++i)
            if (sqlite3_prepare_v3(db_, kStatements[static_cast<std::size_t>(i)], -1,
                                   SQLITE_PREPARE_PERSISTENT, &statements_[static_cast<std::size_t>(i)],
                                   nullptr) != SQLITE_OK)
                return problem();
        return read(loaded);
    }

    bool save(const Change& change) override
    {
        if (!exec("BEGIN IMMEDIATE"))
            return failed();
        bool ok =
            !change.everything ||
            exec("DELETE FROM sessions; DELETE FROM rooms; DELETE FROM members; DELETE FROM invitations;");
        for (const Session& s : change.sessions)
            ok = ok &&
                 run(PutSession, {s.serial, s.name, s.clientId, s.address, s.addressKey, s.withId ? 1 : 0});
        for (quint64 serial : change.endedSessions)
            ok = ok && run(EndSession, {serial});
        for (const Room& r : change.rooms) {
            ok = ok && run(PutRoom, {r.serial, r.name, r.privacy, r.password, r.net, r.host, r.creator}) &&
                 run(ClearMembers, {r.serial});
            for (qsizetype i = 0; i < r.members.size(); ++i)
                ok = ok && run(PutMember,
                               {r.serial, i, r.members[i].session, r.members[i].vip, r.members[i].layer});
        }
        for (const Invitation& i : change.invitations)
            ok = ok && run(i.withdrawn ? DeleteInvitation : PutInvitation, {i.room, i.session});
        for (quint64 serial : change.closedRooms)
            ok = ok && run(CloseRoom, {serial}) && run(ClearMembers, {serial}) &&
                 run(ClearInvitations, {serial});
        if (ok && exec("COMMIT")) {
            if (failing_)
                serverlog::info(QStringLiteral("the lobby state is saved again"));
            failing_ = false;
            return true;
        }
        const bool result = failed();
        exec("ROLLBACK");
        return result;
    }

    // The file is locked by another process (another server on it).
    bool busy() const { return db_ && (sqlite3_extended_errcode(db_) & 0xFF) == SQLITE_BUSY; }

private:
    // A bound value: integers and text are all the schema has.
    struct Value {
        Value(quint64 v) : integer(static_cast<qint64>(v)) {}
        Value(qint64 v) : integer(v) {}
        Value(int v) : integer(v) {}
        Value(quint32 v) : integer(v) {}
        Value(const QString& v) : text(v.toUtf8()), isText(true) {}
        qint64 integer = 0;
        QByteArray text;
        bool isText = false;
    };

    bool run(Statement which, std::initializer_list<Value> values)
    {
        sqlite3_stmt* statement = statements_[static_cast<std::size_t>(which)];
        sqlite3_reset(statement);
        int index = 1;
        for (const Value& v : values) {
            const int bound = v.isText ? sqlite3_bind_text(statement, index, v.text.constData(),
                                                           static_cast<int>(v.text.size()), SQLITE_TRANSIENT)
                                       : sqlite3_bind_int64(statement, index, v.integer);
            if (bound != SQLITE_OK)
                return false;
            ++index;
        }
        return sqlite3_step(statement) == SQLITE_DONE;
    }

    bool exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    // First column of the first row of a one-statement query.
    bool query(const char* sql, QString* out)
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
            return false;
        const int step = sqlite3_step(statement);
        if (step == SQLITE_ROW)
            *out = columnText(statement, 0);
        sqlite3_finalize(statement);
        return step == SQLITE_ROW || step == SQLITE_DONE;
    }

    // Runs `sql` and calls `row` for each result row.
    template <typename Row>
    bool each(const char* sql, Row row)
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
            return false;
        int step;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW)
            row(statement);
        sqlite3_finalize(statement);
        return step == SQLITE_DONE;
    }

    QString read(Snapshot* loaded)
    {
        Snapshot s;
        std::map<quint64, std::size_t> roomAt;
        const bool ok =
            exec("BEGIN") &&
            each(
                "SELECT serial, name, client_id, address, address_key, with_id FROM sessions ORDER BY serial",
                [&](sqlite3_stmt* r) {
                    s.sessions.push_back({columnSerial(r, 0), columnText(r, 1), columnText(r, 2),
                                          columnText(r, 3), columnText(r, 4), sqlite3_column_int(r, 5) != 0});
                }) &&
            each("SELECT serial, name, privacy, password, net, host, creator FROM rooms ORDER BY serial",
                 [&](sqlite3_stmt* r) {
                     roomAt[columnSerial(r, 0)] = s.rooms.size();
                     Room room;
                     room.serial = columnSerial(r, 0);
                     room.name = columnText(r, 1);
                     room.privacy = sqlite3_column_int(r, 2);
                     room.password = columnText(r, 3);
                     room.net = static_cast<quint32>(sqlite3_column_int64(r, 4));
                     room.host = columnSerial(r, 5);
                     room.creator = columnText(r, 6);
                     s.rooms.push_back(std::move(room));
                 }) &&
            each("SELECT room, session, vip, layer FROM members ORDER BY room, position",
                 [&](sqlite3_stmt* r) {
                     if (const auto it = roomAt.find(columnSerial(r, 0)); it != roomAt.end())
                         s.rooms[it->second].members.push_back(
                             {columnSerial(r, 1), static_cast<quint32>(sqlite3_column_int64(r, 2)),
                              sqlite3_column_int(r, 3)});
                 }) &&
            each("SELECT room, session FROM invitations", [&](sqlite3_stmt* r) {
                if (const auto it = roomAt.find(columnSerial(r, 0)); it != roomAt.end())
                    s.rooms[it->second].invited.push_back(columnSerial(r, 1));
            });
        exec("COMMIT");
        if (!ok)
            return problem();
        *loaded = std::move(s);
        return {};
    }

    QString problem() const
    {
        return db_ ? QString::fromUtf8(sqlite3_errmsg(db_)) : QStringLiteral("out of memory");
    }

    // Logged once per spell of failures (a full disk fails every change).
    bool failed()
    {
        if (!failing_)
            serverlog::error(
                QStringLiteral("cannot save the lobby state: %1; trying again with the next change")
                    .arg(problem()));
        failing_ = true;
        return false;
    }

    sqlite3* db_ = nullptr;
    bool failing_ = false;
    std::array<sqlite3_stmt*, StatementCount> statements_{};
};

} // namespace

std::unique_ptr<Store> openSqliteStore(const QString& path, Snapshot* loaded)
{
    *loaded = {};
    const QFileInfo info(path);
    QDir().mkpath(info.absolutePath());
    const bool existed = info.exists();
    auto store = std::make_unique<SqliteStore>();
    QString why = store->open(path, loaded);
    if (why.isEmpty()) {
        serverlog::info(existed ? QStringLiteral("state loaded from %1: %2 sessions, %3 rooms")
                                      .arg(path, QString::number(loaded->sessions.size()),
                                           QString::number(loaded->rooms.size()))
                                : QStringLiteral("no state at %1 yet; starting empty").arg(path));
        return store;
    }
    if (store->busy()) {
        serverlog::error(
            QStringLiteral("state file %1 is in use by another process; lobby state lives in memory only")
                .arg(path));
        return nullptr;
    }
    store.reset();
    *loaded = {};
    // Kept for the operator to look at; the server goes on with a fresh file.
    const QString aside = path + QStringLiteral(".unreadable-") +
                          QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmss"));
    // Only a file is moved: a wrong path must not move the operator's directory.
    const bool moved = QFileInfo(path).isFile() && QFile::rename(path, aside);
    if (moved) {
        QFile::rename(path + QStringLiteral("-wal"), aside + QStringLiteral("-wal"));
        QFile::remove(path + QStringLiteral("-shm"));
    }
    serverlog::error(
        moved ? QStringLiteral("state file %1 cannot be read (%2); moved to %3; starting empty")
                    .arg(path, why, aside)
              : QStringLiteral("state file %1 cannot be read (%2); starting empty").arg(path, why));
    if (moved) {
        store = std::make_unique<SqliteStore>();
        why = store->open(path, loaded);
        if (why.isEmpty())
            return store;
    }
    serverlog::error(
        QStringLiteral("cannot keep state at %1 (%2); lobby state lives in memory only").arg(path, why));
    return nullptr;
}

} // namespace state
