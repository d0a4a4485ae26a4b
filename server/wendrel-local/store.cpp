#include "store.hpp"

#include <sqlite3.h>

#include <fmt/format.h>

#include "crypto.hpp"

namespace sayloft::wendrel {

using core::Json;

namespace {
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS devices(
  id TEXT PRIMARY KEY,
  name TEXT NOT NULL,
  client_type TEXT NOT NULL,
  scopes TEXT NOT NULL,
  token_hash TEXT NOT NULL UNIQUE,
  token_prefix TEXT NOT NULL,
  created_at REAL NOT NULL,
  last_used_at REAL,
  revoked_at REAL);
CREATE TABLE IF NOT EXISTS pairings(
  device_code_hash TEXT PRIMARY KEY,
  user_code TEXT NOT NULL,
  name TEXT NOT NULL,
  client_type TEXT NOT NULL,
  scopes TEXT NOT NULL,
  created_at REAL NOT NULL,
  expires_at REAL NOT NULL,
  state TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS pairings_user_code ON pairings(user_code);
CREATE TABLE IF NOT EXISTS sources(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  cache_key TEXT NOT NULL UNIQUE,
  task_id TEXT NOT NULL UNIQUE,
  audio_sha256 TEXT NOT NULL,
  audio_file TEXT NOT NULL,
  audio_bytes INTEGER NOT NULL,
  original_filename TEXT NOT NULL,
  content_type TEXT NOT NULL,
  content_source TEXT NOT NULL,
  language TEXT,
  tags TEXT NOT NULL,
  metadata TEXT NOT NULL,
  device_id TEXT NOT NULL,
  created_at REAL NOT NULL,
  duration REAL,
  status TEXT NOT NULL,
  error TEXT,
  text TEXT,
  word_count INTEGER,
  model TEXT,
  llm_title TEXT,
  llm_summary TEXT,
  finished_at REAL,
  is_deleted INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS sources_audio ON sources(audio_sha256);
CREATE INDEX IF NOT EXISTS sources_queue ON sources(status, seq);
CREATE TABLE IF NOT EXISTS cursors(
  cursor TEXT PRIMARY KEY,
  seq INTEGER NOT NULL,
  created_at REAL NOT NULL);
)sql";

constexpr const char* kSourceColumns =
    "seq, cache_key, task_id, audio_sha256, audio_file, audio_bytes, original_filename, "
    "content_type, content_source, language, tags, metadata, device_id, created_at, duration, "
    "status, error, text, word_count, model, llm_title, llm_summary, finished_at, is_deleted";

// Cursors are kept for a day; a client walking the list needs them for seconds.
constexpr double kCursorLifetime = 86400;

std::vector<std::string> parseStringArray(const std::string& text) {
    auto j = Json::parse(text, nullptr, false);
    std::vector<std::string> out;
    if (j.is_array()) {
        for (auto& v : j)
            if (v.is_string()) out.push_back(v.get<std::string>());
    }
    return out;
}
}  // namespace

// A prepared statement with positional binding and typed column reads.
class Store::Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st_, nullptr) != SQLITE_OK) {
            throw StoreError(fmt::format("database: {} ({})", sqlite3_errmsg(db), sql));
        }
    }
    ~Statement() { sqlite3_finalize(st_); }

    Statement& bind(const std::string& v) {
        sqlite3_bind_text(st_, ++index_, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(const char* v) { return bind(std::string(v)); }
    Statement& bind(double v) {
        sqlite3_bind_double(st_, ++index_, v);
        return *this;
    }
    Statement& bind(int64_t v) {
        sqlite3_bind_int64(st_, ++index_, v);
        return *this;
    }
    Statement& bind(int v) { return bind(static_cast<int64_t>(v)); }
    template <class T>
    Statement& bind(const std::optional<T>& v) {
        if (v) return bind(*v);
        sqlite3_bind_null(st_, ++index_);
        return *this;
    }

    // True while a row is available.
    bool step() {
        int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(fmt::format("database: {}", sqlite3_errmsg(db_)));
    }
    void run() {
        while (step()) {
        }
    }

    bool isNull(int col) { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    std::string text(int col) {
        auto p = reinterpret_cast<const char*>(sqlite3_column_text(st_, col));
        return p ? std::string(p, sqlite3_column_bytes(st_, col)) : std::string();
    }
    std::optional<std::string> optText(int col) {
        if (isNull(col)) return std::nullopt;
        return text(col);
    }
    double real(int col) { return sqlite3_column_double(st_, col); }
    std::optional<double> optReal(int col) {
        if (isNull(col)) return std::nullopt;
        return real(col);
    }
    int64_t integer(int col) { return sqlite3_column_int64(st_, col); }
    std::optional<int64_t> optInteger(int col) {
        if (isNull(col)) return std::nullopt;
        return integer(col);
    }

  private:
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
    int index_ = 0;
};

namespace {
// BEGIN IMMEDIATE ... COMMIT, rolled back when an exception leaves the scope.
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : db_(db) { run("BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
        run("COMMIT");
        done_ = true;
    }

  private:
    void run(const char* sql) {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
            std::string text = err ? err : "unknown error";
            sqlite3_free(err);
            throw StoreError("database: " + text);
        }
    }
    sqlite3* db_;
    bool done_ = false;
};
}  // namespace

Store::Store(const std::filesystem::path& dbFile) {
    if (sqlite3_open_v2(dbFile.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string text = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw StoreError(fmt::format("cannot open the database {}: {}", dbFile.string(), text));
    }
    sqlite3_busy_timeout(db_, 5000);
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec(kSchema);
}

Store::~Store() {
    sqlite3_close(db_);
}

void Store::exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string text = err ? err : "unknown error";
        sqlite3_free(err);
        throw StoreError("database: " + text);
    }
}

// ---- pairing

void Store::insertPairing(const Pairing& p) {
    std::lock_guard lock(mutex_);
    Statement(db_,
              "INSERT INTO pairings(device_code_hash, user_code, name, client_type, scopes, "
              "created_at, expires_at, state) VALUES(?,?,?,?,?,?,?,?)")
        .bind(p.deviceCodeHash)
        .bind(p.userCode)
        .bind(p.name)
        .bind(p.clientType)
        .bind(Json(p.scopes).dump())
        .bind(p.createdAt)
        .bind(p.expiresAt)
        .bind(p.state)
        .run();
}

namespace {
constexpr const char* kPairingColumns =
    "device_code_hash, user_code, name, client_type, scopes, created_at, expires_at, state";
}

std::optional<Pairing> Store::pairingByDeviceCodeHash(const std::string& hash) {
    std::lock_guard lock(mutex_);
    Statement st(
        db_, fmt::format("SELECT {} FROM pairings WHERE device_code_hash = ?", kPairingColumns));
    st.bind(hash);
    if (!st.step()) return std::nullopt;
    Pairing p;
    p.deviceCodeHash = st.text(0);
    p.userCode = st.text(1);
    p.name = st.text(2);
    p.clientType = st.text(3);
    p.scopes = parseStringArray(st.text(4));
    p.createdAt = st.real(5);
    p.expiresAt = st.real(6);
    p.state = st.text(7);
    return p;
}

std::optional<Pairing> Store::pendingPairingByUserCode(const std::string& userCode, double now) {
    std::string hash;
    {
        std::lock_guard lock(mutex_);
        Statement st(db_,
                     "SELECT device_code_hash FROM pairings WHERE user_code = ? AND "
                     "state = 'pending' AND expires_at > ? ORDER BY created_at DESC LIMIT 1");
        st.bind(userCode).bind(now);
        if (!st.step()) return std::nullopt;
        hash = st.text(0);
    }
    return pairingByDeviceCodeHash(hash);
}

bool Store::decidePairing(const std::string& deviceCodeHash, bool approve) {
    std::lock_guard lock(mutex_);
    Statement(db_, "UPDATE pairings SET state = ? WHERE device_code_hash = ? AND state = 'pending'")
        .bind(approve ? "approved" : "denied")
        .bind(deviceCodeHash)
        .run();
    return sqlite3_changes(db_) == 1;
}

bool Store::deliverPairing(const std::string& deviceCodeHash, const Device& d,
                           const std::string& tokenHash) {
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    Statement(db_,
              "UPDATE pairings SET state = 'delivered' WHERE device_code_hash = ? AND "
              "state = 'approved'")
        .bind(deviceCodeHash)
        .run();
    if (sqlite3_changes(db_) != 1) return false;
    Statement(db_,
              "INSERT INTO devices(id, name, client_type, scopes, token_hash, token_prefix, "
              "created_at) VALUES(?,?,?,?,?,?,?)")
        .bind(d.id)
        .bind(d.name)
        .bind(d.clientType)
        .bind(Json(d.scopes).dump())
        .bind(tokenHash)
        .bind(d.tokenPrefix)
        .bind(d.createdAt)
        .run();
    tx.commit();
    return true;
}

void Store::removePairingsExpiredBefore(double time) {
    std::lock_guard lock(mutex_);
    Statement(db_, "DELETE FROM pairings WHERE expires_at < ?").bind(time).run();
}

// ---- devices

namespace {
constexpr const char* kDeviceColumns =
    "id, name, client_type, scopes, token_prefix, created_at, last_used_at, revoked_at";
}

std::optional<Device> Store::activeDeviceByTokenHash(const std::string& tokenHash) {
    std::lock_guard lock(mutex_);
    Statement st(db_, fmt::format("SELECT {} FROM devices WHERE token_hash = ? AND "
                                  "revoked_at IS NULL",
                                  kDeviceColumns));
    st.bind(tokenHash);
    if (!st.step()) return std::nullopt;
    return Device{st.text(0), st.text(1), st.text(2),    parseStringArray(st.text(3)),
                  st.text(4), st.real(5), st.optReal(6), st.optReal(7)};
}

void Store::touchDevice(const std::string& id, double now) {
    std::lock_guard lock(mutex_);
    Statement(db_, "UPDATE devices SET last_used_at = ? WHERE id = ?").bind(now).bind(id).run();
}

std::vector<Device> Store::devices() {
    std::lock_guard lock(mutex_);
    Statement st(db_, fmt::format("SELECT {} FROM devices ORDER BY created_at", kDeviceColumns));
    std::vector<Device> out;
    while (st.step()) {
        out.push_back(Device{st.text(0), st.text(1), st.text(2), parseStringArray(st.text(3)),
                             st.text(4), st.real(5), st.optReal(6), st.optReal(7)});
    }
    return out;
}

std::vector<Device> Store::revokeDevices(const std::string& prefix, double now) {
    std::vector<Device> matches;
    for (auto& d : devices()) {
        if (d.revokedAt || prefix.empty()) continue;
        if (d.tokenPrefix.rfind(prefix, 0) == 0 || d.id.rfind(prefix, 0) == 0) matches.push_back(d);
    }
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    for (auto& d : matches) {
        Statement(db_, "UPDATE devices SET revoked_at = ? WHERE id = ?").bind(now).bind(d.id).run();
        d.revokedAt = now;
    }
    tx.commit();
    return matches;
}

// ---- sources

Source Store::readSource(Statement& st) {
    Source s;
    s.seq = st.integer(0);
    s.cacheKey = st.text(1);
    s.taskId = st.text(2);
    s.audioSha256 = st.text(3);
    s.audioFile = st.text(4);
    s.audioBytes = st.integer(5);
    s.originalFilename = st.text(6);
    s.contentType = st.text(7);
    s.contentSource = st.text(8);
    s.language = st.optText(9);
    s.tags = parseStringArray(st.text(10));
    s.metadata = Json::parse(st.text(11), nullptr, false);
    if (s.metadata.is_discarded()) s.metadata = Json::object();
    s.deviceId = st.text(12);
    s.createdAt = st.real(13);
    s.duration = st.optReal(14);
    s.status = st.text(15);
    s.error = st.optText(16);
    s.text = st.optText(17);
    s.wordCount = st.optInteger(18);
    s.model = st.optText(19);
    s.llmTitle = st.optText(20);
    s.llmSummary = st.optText(21);
    s.finishedAt = st.optReal(22);
    s.isDeleted = st.integer(23) != 0;
    return s;
}

std::optional<Source> Store::sourceWhere(const char* where, const std::string& value) {
    Statement st(db_, fmt::format("SELECT {} FROM sources WHERE {}", kSourceColumns, where));
    st.bind(value);
    if (!st.step()) return std::nullopt;
    return readSource(st);
}

Store::InsertResult Store::insertSource(const NewSource& n) {
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    if (auto existing = sourceWhere("audio_sha256 = ? AND is_deleted = 0 AND status != 'failed' "
                                    "ORDER BY seq LIMIT 1",
                                    n.audioSha256)) {
        return {*existing, false};
    }
    Statement(db_,
              "INSERT INTO sources(cache_key, task_id, audio_sha256, audio_file, audio_bytes, "
              "original_filename, content_type, content_source, language, tags, metadata, "
              "device_id, created_at, duration, status) "
              "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,'queued')")
        .bind(n.cacheKey)
        .bind(n.taskId)
        .bind(n.audioSha256)
        .bind(n.audioFile)
        .bind(n.audioBytes)
        .bind(n.originalFilename)
        .bind(n.contentType)
        .bind(n.contentSource)
        .bind(n.language)
        .bind(Json(n.tags).dump())
        .bind(n.metadata.dump())
        .bind(n.deviceId)
        .bind(n.createdAt)
        .bind(n.duration)
        .run();
    auto inserted = sourceWhere("cache_key = ?", n.cacheKey);
    tx.commit();
    return {*inserted, true};
}

std::optional<Source> Store::sourceByKey(const std::string& cacheKey) {
    std::lock_guard lock(mutex_);
    return sourceWhere("cache_key = ?", cacheKey);
}

std::optional<Source> Store::sourceByTask(const std::string& taskId) {
    std::lock_guard lock(mutex_);
    return sourceWhere("task_id = ?", taskId);
}

SourcePage Store::listSources(int limit, const std::optional<std::string>& before,
                              bool includeDeleted, double now) {
    std::lock_guard lock(mutex_);
    int64_t below = INT64_MAX;
    if (before) {
        Statement st(db_, "SELECT seq FROM cursors WHERE cursor = ? AND created_at > ?");
        st.bind(*before).bind(now - kCursorLifetime);
        if (!st.step()) throw InvalidCursor("unknown or expired cursor");
        below = st.integer(0);
    }
    Statement st(db_, fmt::format("SELECT {} FROM sources WHERE seq < ? {} ORDER BY seq DESC "
                                  "LIMIT ?",
                                  kSourceColumns, includeDeleted ? "" : "AND is_deleted = 0"));
    st.bind(below).bind(limit + 1);
    SourcePage page;
    while (st.step()) page.items.push_back(readSource(st));
    if (static_cast<int>(page.items.size()) > limit) {
        page.items.pop_back();
        page.hasMore = true;
        std::string cursor = "cur_" + randomHex(12);
        Transaction tx(db_);
        Statement(db_, "DELETE FROM cursors WHERE created_at <= ?")
            .bind(now - kCursorLifetime)
            .run();
        Statement(db_, "INSERT INTO cursors(cursor, seq, created_at) VALUES(?,?,?)")
            .bind(cursor)
            .bind(page.items.back().seq)
            .bind(now)
            .run();
        tx.commit();
        page.nextCursor = cursor;
    }
    return page;
}

bool Store::moveSource(const std::string& oldKey, const std::string& newKey) {
    std::lock_guard lock(mutex_);
    Statement(db_, "UPDATE sources SET cache_key = ? WHERE cache_key = ?")
        .bind(newKey)
        .bind(oldKey)
        .run();
    return sqlite3_changes(db_) == 1;
}

bool Store::markDeleted(const std::string& cacheKey) {
    std::lock_guard lock(mutex_);
    Statement(db_, "UPDATE sources SET is_deleted = 1 WHERE cache_key = ? AND is_deleted = 0")
        .bind(cacheKey)
        .run();
    return sqlite3_changes(db_) == 1;
}

int64_t Store::sourceCount() {
    std::lock_guard lock(mutex_);
    Statement st(db_, "SELECT count(*) FROM sources");
    st.step();
    return st.integer(0);
}

std::vector<std::string> Store::audioFiles() {
    std::lock_guard lock(mutex_);
    Statement st(db_, "SELECT audio_file FROM sources");
    std::vector<std::string> out;
    while (st.step()) out.push_back(st.text(0));
    return out;
}

// ---- queue

int Store::requeueInterrupted() {
    std::lock_guard lock(mutex_);
    exec("UPDATE sources SET status = 'queued' WHERE status = 'processing'");
    return sqlite3_changes(db_);
}

std::optional<Source> Store::claimNextJob() {
    std::lock_guard lock(mutex_);
    Transaction tx(db_);
    Statement pick(db_, fmt::format("SELECT {} FROM sources WHERE status = 'queued' AND "
                                    "is_deleted = 0 ORDER BY seq LIMIT 1",
                                    kSourceColumns));
    if (!pick.step()) return std::nullopt;
    Source s = readSource(pick);
    Statement(db_, "UPDATE sources SET status = 'processing' WHERE seq = ?").bind(s.seq).run();
    tx.commit();
    s.status = "processing";
    return s;
}

void Store::completeJob(int64_t seq, const Transcript& t, double now) {
    std::lock_guard lock(mutex_);
    Statement(db_,
              "UPDATE sources SET status = 'completed', error = NULL, text = ?, word_count = ?, "
              "duration = ?, model = ?, llm_title = ?, llm_summary = ?, finished_at = ? "
              "WHERE seq = ?")
        .bind(t.text)
        .bind(t.wordCount)
        .bind(t.duration)
        .bind(t.model)
        .bind(t.title)
        .bind(t.summary)
        .bind(now)
        .bind(seq)
        .run();
}

void Store::failJob(int64_t seq, const std::string& reason, double now) {
    std::lock_guard lock(mutex_);
    Statement(db_, "UPDATE sources SET status = 'failed', error = ?, finished_at = ? WHERE seq = ?")
        .bind(reason)
        .bind(now)
        .bind(seq)
        .run();
}

void Store::requeueJob(int64_t seq) {
    std::lock_guard lock(mutex_);
    Statement(db_, "UPDATE sources SET status = 'queued' WHERE seq = ? AND status = 'processing'")
        .bind(seq)
        .run();
}

int64_t Store::queuedCount() {
    std::lock_guard lock(mutex_);
    Statement st(db_, "SELECT count(*) FROM sources WHERE status IN ('queued', 'processing')");
    st.step();
    return st.integer(0);
}

std::string Store::integrityCheck() {
    std::lock_guard lock(mutex_);
    Statement st(db_, "PRAGMA integrity_check");
    std::string out;
    while (st.step()) out += st.text(0);
    return out;
}

}  // namespace sayloft::wendrel
