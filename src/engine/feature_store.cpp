#include "engine/feature_store.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "velk/media.h"

#if VELK_HAVE_SQLITE
#include <sqlite3.h>
#endif

namespace fs = std::filesystem;

namespace Velk {

namespace {

constexpr int64_t kFingerprintSpan = int64_t{1} << 20;

void fnv(uint64_t& h, const char* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
}

}  // namespace

// The first and last MiB, not the whole file: reading every byte of an archive
// on each run would cost about as much as extracting it. The head holds the
// header and the start of the audio, which differ between two recordings even
// of the same length; the tail changes when a recorder's unfinished file grows
// or a header is rewritten at the end. A file edited only in its middle, to
// the same size, is not seen; the modification time catches that case unless
// it was set back on purpose.
bool fingerprintFile(const std::string& path, int64_t size, uint64_t& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  uint64_t h = 1469598103934665603ull;
  std::vector<char> buffer(static_cast<std::size_t>(std::min(size, kFingerprintSpan)));
  auto hashAt = [&](int64_t at, int64_t n) {
    in.seekg(at);
    in.read(buffer.data(), n);
    if (in.gcount() != n) return false;
    fnv(h, buffer.data(), static_cast<std::size_t>(n));
    return true;
  };
  const int64_t head = std::min(size, kFingerprintSpan);
  const int64_t tail = std::min(size - head, kFingerprintSpan);
  if (!hashAt(0, head) || (tail > 0 && !hashAt(size - tail, tail))) return false;
  fnv(h, reinterpret_cast<const char*>(&size), sizeof size);
  out = h;
  return true;
}

#if VELK_HAVE_SQLITE

namespace {

// Bumped when extraction or the stored layout changes what a row means.
constexpr int kStoreFormat = 2;
constexpr int32_t kApplicationId = 0x56656c6b;  // "Velk"

// Everything that decides a recording's landmarks besides its content.
std::string settingsKey(VkExtractParams p, int channel) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "format %d; fft %u hop %u rate %u pairs %u freq %d time %d initial %u peaks %u "
                "dynrange %.9g threshold %.9g decay %.9g width %.9g; channel %d; decoder %s",
                kStoreFormat, p.getFftSize(), p.getHopSize(), p.getSampleRate(),
                p.getMaxPairsPerPeak(), p.freqRange, p.timeRange, p.initialThresholdFrames,
                p.maxPeaksPerFrame, static_cast<double>(p.peakDynRange),
                static_cast<double>(p.dbThreshold), static_cast<double>(p.decayPerFrame),
                static_cast<double>(p.peakWidth), channel, haveFFmpeg() ? "ffmpeg" : "wav");
  return buf;
}

// Frames ascend, so each is stored as its step from the previous one in
// 7-bit groups (one byte for nearly all); hashes as 4 little-endian bytes.
void putVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

bool getVarint(const unsigned char*& p, const unsigned char* end, uint64_t& v) {
  v = 0;
  for (unsigned shift = 0; p < end && shift < 64; shift += 7) {
    const unsigned char b = *p++;
    v |= static_cast<uint64_t>(b & 0x7f) << shift;
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

void encode(const VkFile& file, std::string& frames, std::string& hashes) {
  frames.reserve(file.getLandmarkCount() + 8);
  hashes.reserve(4 * file.getLandmarkCount());
  bool first = true;
  int64_t previous = 0;
  file.forEachLandmark([&](int32_t t, uint32_t h, int32_t) {
    if (first) {
      // The first frame as a zigzag number: a hand-made table may start below 0.
      putVarint(frames, (static_cast<uint64_t>(t) << 1) ^ static_cast<uint64_t>(int64_t{t} >> 63));
      first = false;
    } else {
      putVarint(frames, static_cast<uint64_t>(t - previous));
    }
    previous = t;
    for (int k = 0; k < 4; ++k) hashes.push_back(static_cast<char>(h >> (8 * k)));
  });
}

bool decode(const void* frameBlob, int64_t frameBytes, const void* hashBlob, int64_t hashBytes,
            int64_t count, VkFile& file) {
  if (count < 0 || hashBytes != 4 * count) return false;
  const auto* p = static_cast<const unsigned char*>(frameBlob);
  const unsigned char* end = p + frameBytes;
  const auto* h = static_cast<const unsigned char*>(hashBlob);
  file.reserve(static_cast<std::size_t>(count));
  int64_t t = 0;
  for (int64_t i = 0; i < count; ++i) {
    uint64_t v = 0;
    if (!getVarint(p, end, v)) return false;
    t = i == 0 ? static_cast<int64_t>((v >> 1) ^ (~(v & 1) + 1)) : t + static_cast<int64_t>(v);
    if (t < INT32_MIN || t > INT32_MAX) return false;
    const uint32_t hash =
        uint32_t{h[0]} | uint32_t{h[1]} << 8 | uint32_t{h[2]} << 16 | uint32_t{h[3]} << 24;
    h += 4;
    file.addLandmark(static_cast<int32_t>(t), hash);
  }
  return p == end;
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool ok() const { return s_ != nullptr; }
  sqlite3_stmt* get() const { return s_; }
  int step() { return s_ == nullptr ? SQLITE_ERROR : sqlite3_step(s_); }
  void text(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  void blob(int i, const std::string& v) {
    sqlite3_bind_blob64(s_, i, v.data(), v.size(), SQLITE_STATIC);
  }
  void integer(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
  std::string columnBlob(int i) const {
    const void* p = sqlite3_column_blob(s_, i);
    return p == nullptr ? std::string()
                        : std::string(static_cast<const char*>(p),
                                      static_cast<std::size_t>(sqlite3_column_bytes(s_, i)));
  }

 private:
  sqlite3_stmt* s_ = nullptr;
};

class SqliteStore final : public FeatureStore {
 public:
  explicit SqliteStore(sqlite3* db) : db_(db) {}
  ~SqliteStore() override { sqlite3_close(db_); }

  bool exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
  }

  // Checks that the file is ours (or empty) and holds rows for these settings.
  bool prepare(const std::string& key, std::string& note, std::string& error) {
    if (!exec("PRAGMA busy_timeout = 10000", error)) return false;
    {  // the statements end here: an open read keeps the journal mode from changing
      Statement id(db_, "PRAGMA application_id");
      Statement tables(db_, "SELECT count(*) FROM sqlite_master");
      if (id.step() != SQLITE_ROW || tables.step() != SQLITE_ROW) {
        error = sqlite3_errmsg(db_);
        return false;
      }
      const bool empty = sqlite3_column_int64(tables.get(), 0) == 0;
      if (!empty && sqlite3_column_int(id.get(), 0) != kApplicationId) {
        error = "it is a database of another program";
        return false;
      }
    }
    // WAL: a crash mid-write leaves the last committed state; readers do not
    // block the writer. NORMAL syncs at checkpoints only, and a power cut can
    // lose only the last recordings, which are then extracted again.
    if (!exec("PRAGMA journal_mode = WAL", error) || !exec("PRAGMA synchronous = NORMAL", error))
      return false;
    if (!exec("BEGIN IMMEDIATE", error)) return false;
    const std::string create =
        "PRAGMA application_id = " + std::to_string(kApplicationId) +
        ";"
        "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);";
    std::string stored;
    bool ok = exec(create.c_str(), error);
    if (ok) {
      Statement read(db_, "SELECT value FROM meta WHERE key = 'settings'");
      if (read.step() == SQLITE_ROW)
        stored = reinterpret_cast<const char*>(sqlite3_column_text(read.get(), 0));
    }
    if (ok && stored != key) {
      if (!stored.empty())
        note = "it was made with other extraction settings: every recording is extracted again";
      // A row's key is never used again (AUTOINCREMENT), so a key names one
      // extraction of one file. A row without path is one the pair state still
      // needs after its file went away or changed.
      ok = exec(
          "DROP TABLE IF EXISTS recordings; DROP TABLE IF EXISTS members;"
          " DROP TABLE IF EXISTS pair_state;"
          "CREATE TABLE recordings(rec INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT UNIQUE,"
          " size INTEGER NOT NULL, mtime_ns INTEGER NOT NULL, fingerprint INTEGER NOT NULL,"
          " duration REAL NOT NULL, channel INTEGER NOT NULL, warnings TEXT NOT NULL,"
          " channel_note TEXT NOT NULL, landmarks INTEGER NOT NULL, frames BLOB NOT NULL,"
          " hashes BLOB NOT NULL);"
          "CREATE TABLE members(rec INTEGER PRIMARY KEY, place INTEGER NOT NULL);"
          "CREATE TABLE pair_state(id INTEGER PRIMARY KEY CHECK(id = 0), params TEXT NOT NULL,"
          " lim INTEGER NOT NULL, popular_above INTEGER NOT NULL, generation INTEGER NOT NULL,"
          " popular BLOB NOT NULL, pairs BLOB NOT NULL)",
          error);
      Statement write(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES('settings', ?)");
      write.text(1, key);
      ok = ok && write.step() == SQLITE_DONE;
    }
    if (ok && exec("COMMIT", error)) return true;
    if (error.empty()) error = sqlite3_errmsg(db_);
    std::string ignored;
    exec("ROLLBACK", ignored);
    return false;
  }

  bool find(const Recording& r, FileStamp& stamp) override {
    std::error_code ec;
    stamp = FileStamp();
    stamp.path = fs::absolute(r.path, ec).lexically_normal().string();
    const auto size = fs::file_size(r.path, ec);
    if (ec) return false;
    const auto written = fs::last_write_time(r.path, ec);
    if (ec) return false;
    stamp.size = static_cast<int64_t>(size);
    stamp.mtimeNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(written.time_since_epoch()).count();
    Statement q(db_, "SELECT size, mtime_ns, fingerprint, rec FROM recordings WHERE path = ?");
    q.text(1, stamp.path);
    const bool known = q.step() == SQLITE_ROW && sqlite3_column_int64(q.get(), 0) == stamp.size;
    // Not written since it was stored: its content is what was stored.
    if (known && sqlite3_column_int64(q.get(), 1) == stamp.mtimeNs) {
      stamp.fingerprint = static_cast<uint64_t>(sqlite3_column_int64(q.get(), 2));
      stamp.fingerprinted = true;
      stamp.key = sqlite3_column_int64(q.get(), 3);
      return true;
    }
    // Before extraction, so that a file written meanwhile is not stored as the old one.
    stamp.fingerprinted = fingerprintFile(r.path, stamp.size, stamp.fingerprint);
    if (!known || !stamp.fingerprinted ||
        static_cast<uint64_t>(sqlite3_column_int64(q.get(), 2)) != stamp.fingerprint)
      return false;
    stamp.key = sqlite3_column_int64(q.get(), 3);
    // Copied or touched, same content: the new time saves the next run a read.
    Statement touch(db_, "UPDATE recordings SET mtime_ns = ? WHERE path = ?");
    touch.integer(1, stamp.mtimeNs);
    touch.text(2, stamp.path);
    touch.step();
    return true;
  }

  std::unique_ptr<VkFile> load(const Recording& r, const FileStamp& stamp,
                               ExtractionFacts& facts) override {
    // By key: the row find() looked at, even if another run replaced it since.
    Statement q(db_,
                "SELECT duration, channel, warnings, channel_note, landmarks, frames, hashes"
                " FROM recordings WHERE rec = ?");
    q.integer(1, stamp.key);
    if (q.step() != SQLITE_ROW) return nullptr;
    sqlite3_stmt* s = q.get();
    facts.durationSeconds = sqlite3_column_double(s, 0);
    facts.channel = sqlite3_column_int(s, 1);
    facts.warnings = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
    facts.channelNote = reinterpret_cast<const char*>(sqlite3_column_text(s, 3));
    const void* frames = sqlite3_column_blob(s, 5);
    const int64_t frameBytes = sqlite3_column_bytes(s, 5);
    const void* hashes = sqlite3_column_blob(s, 6);
    const int64_t hashBytes = sqlite3_column_bytes(s, 6);
    auto file = std::make_unique<VkFile>(r.id);
    if (!decode(frames, frameBytes, hashes, hashBytes, sqlite3_column_int64(s, 4), *file))
      return nullptr;
    keys_[stamp.path] = stamp.key;
    return file;
  }

  std::unique_ptr<VkFile> loadKey(int64_t key, int32_t id) override {
    Statement q(db_, "SELECT landmarks, frames, hashes FROM recordings WHERE rec = ?");
    q.integer(1, key);
    if (q.step() != SQLITE_ROW) return nullptr;
    sqlite3_stmt* s = q.get();
    auto file = std::make_unique<VkFile>(id);
    if (!decode(sqlite3_column_blob(s, 1), sqlite3_column_bytes(s, 1), sqlite3_column_blob(s, 2),
                sqlite3_column_bytes(s, 2), sqlite3_column_int64(s, 0), *file))
      return nullptr;
    return file;
  }

  int64_t keyOf(const std::string& path) const override {
    std::error_code ec;
    const auto it = keys_.find(fs::absolute(path, ec).lexically_normal().string());
    return it == keys_.end() ? 0 : it->second;
  }

  bool save(const FileStamp& stamp, const VkFile& file, const ExtractionFacts& facts,
            std::string& error) override {
    if (!stamp.fingerprinted) return true;  // unreadable a moment ago: not worth keeping
    std::string frames, hashes;
    encode(file, frames, hashes);
    // One transaction: the old row is retired (kept for the pair state) or
    // replaced, and the new one written, or none of it.
    if (!exec("BEGIN IMMEDIATE", error)) return false;
    if (!retire(stamp.path)) return rollback(error);
    Statement w(db_,
                "INSERT OR REPLACE INTO recordings(path, size, mtime_ns, fingerprint, duration,"
                " channel, warnings, channel_note, landmarks, frames, hashes)"
                " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    w.text(1, stamp.path);
    w.integer(2, stamp.size);
    w.integer(3, stamp.mtimeNs);
    w.integer(4, static_cast<int64_t>(stamp.fingerprint));
    sqlite3_bind_double(w.get(), 5, facts.durationSeconds);
    w.integer(6, facts.channel);
    w.text(7, facts.warnings);
    w.text(8, facts.channelNote);
    w.integer(9, static_cast<int64_t>(file.getLandmarkCount()));
    w.blob(10, frames);
    w.blob(11, hashes);
    if (w.step() != SQLITE_DONE) return rollback(error);
    const int64_t key = sqlite3_last_insert_rowid(db_);
    if (!exec("COMMIT", error)) return rollback(error);
    keys_[stamp.path] = key;
    return true;
  }

  std::size_t dropMissing() override {
    std::vector<std::string> gone;
    {
      Statement q(db_, "SELECT path FROM recordings WHERE path IS NOT NULL");
      while (q.step() == SQLITE_ROW) {
        const std::string path = reinterpret_cast<const char*>(sqlite3_column_text(q.get(), 0));
        std::error_code ec;
        if (!fs::exists(path, ec) && !ec) gone.push_back(path);
      }
    }
    std::string error;
    if (gone.empty() || !exec("BEGIN IMMEDIATE", error)) return 0;
    for (const std::string& path : gone) {
      retire(path);
      Statement d(db_, "DELETE FROM recordings WHERE path = ?");
      d.text(1, path);
      d.step();
    }
    return exec("COMMIT", error) ? gone.size() : 0;
  }

  bool readPairs(PairState& state) override {
    Statement q(db_,
                "SELECT params, lim, popular_above, generation, popular, pairs FROM pair_state");
    if (q.step() != SQLITE_ROW) return false;
    sqlite3_stmt* s = q.get();
    state.params = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    state.limit = static_cast<uint32_t>(sqlite3_column_int64(s, 1));
    state.popularAbove = static_cast<uint32_t>(sqlite3_column_int64(s, 2));
    state.generation = sqlite3_column_int64(s, 3);
    state.popular = q.columnBlob(4);
    state.pairs = q.columnBlob(5);
    state.members.clear();
    Statement m(db_, "SELECT rec, place FROM members");
    while (m.step() == SQLITE_ROW)
      state.members.emplace_back(sqlite3_column_int64(m.get(), 0),
                                 sqlite3_column_int64(m.get(), 1));
    return true;
  }

  bool writePairs(const PairState* state, int64_t readGeneration, std::string& error) override {
    if (!exec("BEGIN IMMEDIATE", error)) return false;
    {
      Statement g(db_, "SELECT generation FROM pair_state");
      const int64_t now = g.step() == SQLITE_ROW ? sqlite3_column_int64(g.get(), 0) : 0;
      if (now != readGeneration) {
        error = "another run changed it meanwhile";
        return rollback(error);
      }
    }
    if (!exec("DELETE FROM members; DELETE FROM pair_state", error)) return rollback(error);
    if (state != nullptr) {
      for (const auto& m : state->members) {
        Statement w(db_, "INSERT OR REPLACE INTO members(rec, place) VALUES(?, ?)");
        w.integer(1, m.first);
        w.integer(2, m.second);
        if (w.step() != SQLITE_DONE) return rollback(error);
      }
      Statement w(db_,
                  "INSERT INTO pair_state(id, params, lim, popular_above, generation, popular,"
                  " pairs) VALUES(0, ?, ?, ?, ?, ?, ?)");
      w.text(1, state->params);
      w.integer(2, state->limit);
      w.integer(3, state->popularAbove);
      w.integer(4, std::max<int64_t>(readGeneration, 0) + 1);
      w.blob(5, state->popular);
      w.blob(6, state->pairs);
      if (w.step() != SQLITE_DONE) return rollback(error);
    }
    if (!exec("DELETE FROM recordings WHERE path IS NULL AND rec NOT IN (SELECT rec FROM members)",
              error))
      return rollback(error);
    return exec("COMMIT", error) || rollback(error);
  }

 private:
  // Takes the path from a row the pair state still needs, so that the row is
  // neither found nor replaced by path, but stays readable by key.
  bool retire(const std::string& path) {
    Statement r(db_,
                "UPDATE recordings SET path = NULL WHERE path = ? AND rec IN (SELECT rec FROM "
                "members)");
    r.text(1, path);
    return r.step() == SQLITE_DONE;
  }

  bool rollback(std::string& error) {
    if (error.empty()) error = sqlite3_errmsg(db_);
    std::string ignored;
    exec("ROLLBACK", ignored);
    return false;
  }

  sqlite3* db_;
  std::map<std::string, int64_t> keys_;  // by absolute path: rows found or saved
};

}  // namespace

std::unique_ptr<FeatureStore> FeatureStore::open(const std::string& path,
                                                 const VkExtractParams& params, int channel,
                                                 std::string& note, std::string& error) {
  sqlite3* db = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  auto store = std::make_unique<SqliteStore>(db);  // closes db whatever happens
  if (rc != SQLITE_OK) {
    error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    return nullptr;
  }
  if (!store->prepare(settingsKey(params, channel), note, error)) return nullptr;
  return store;
}

#else

std::unique_ptr<FeatureStore> FeatureStore::open(const std::string&, const VkExtractParams&, int,
                                                 std::string&, std::string& error) {
  error = "this build has no feature store (SQLite was not found when it was built)";
  return nullptr;
}

#endif

bool featureStoreAvailable() {
#if VELK_HAVE_SQLITE
  return true;
#else
  return false;
#endif
}

}  // namespace Velk
