#include "platform/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/machine.h"
#include "platform/registry_redirection.h"
#include "platform/text.h"

// Storage: table `keys` holds one row per key (the hive roots HKEY_LOCAL_MACHINE and
// HKEY_USERS are rows 1 and 2, with no parent); table `vals` holds the values of a key
// with the position they were created at. Names are stored as UTF-16LE blobs so that any
// name survives unchanged, and a second, case-folded copy (UTF-16BE, so that byte order is
// code-unit order) is what lookups, uniqueness and subkey order use. Key ids are never
// reused (AUTOINCREMENT), so an open key whose row is gone was deleted.
//
// Error codes for malformed names, as Windows gives them where known:
//  - a subkey beginning with a backslash: ERROR_BAD_PATHNAME (as RegCreateKeyEx documents;
//    opening behaves alike), except when opening below HKEY_CLASSES_ROOT, where Windows
//    skips one leading backslash;
//  - one trailing backslash is ignored;
//  - an empty name between backslashes, a NUL in a key name, a key name longer than 255
//    characters, a path deeper than 512 keys, a value name longer than 16383 characters:
//    ERROR_INVALID_PARAMETER.
// SQLite failures become ERROR_CANTREAD (reading), ERROR_CANTWRITE (writing, including a
// database still locked by another process after the busy timeout) or
// ERROR_REGISTRY_CORRUPT (a damaged file).

namespace platform {

using registry_internal::KeyPath;
using registry_internal::kLocalMachine;
using registry_internal::kUsers;

namespace {

constexpr int64_t kRootId[2] = {1, 2};
constexpr const char16_t* kHiveNames[2] = {u"HKEY_LOCAL_MACHINE", u"HKEY_USERS"};
constexpr std::u16string_view kDefaultSid = u"S-1-5-21-1000-1000-1000-1001";
constexpr int kBusyTimeoutMs = 10000;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER,
  name BLOB NOT NULL,
  name_fold BLOB NOT NULL,
  UNIQUE(parent, name_fold));
CREATE TABLE IF NOT EXISTS vals(
  key_id INTEGER NOT NULL,
  name BLOB NOT NULL,
  name_fold BLOB NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  ord INTEGER NOT NULL,
  UNIQUE(key_id, name_fold));
CREATE INDEX IF NOT EXISTS vals_order ON vals(key_id, ord);
INSERT OR IGNORE INTO keys(id, parent, name, name_fold) VALUES(1, NULL, x'', x''), (2, NULL, x'', x'');
PRAGMA user_version = 1;
)sql";

std::string NameBlob(std::u16string_view name) {
  std::string out;
  out.reserve(name.size() * 2);
  for (char16_t c : name) {
    out += char(c & 0xFF);
    out += char(c >> 8);
  }
  return out;
}

std::string FoldBlob(std::u16string_view name) {
  std::string out;
  out.reserve(name.size() * 2);
  for (char16_t c : FoldCase(name)) {
    out += char(c >> 8);
    out += char(c & 0xFF);
  }
  return out;
}

KeyPath Split(std::u16string_view joined) {
  KeyPath out;
  if (joined.empty()) return out;
  size_t start = 0;
  for (;;) {
    size_t cut = joined.find(u'\\', start);
    out.emplace_back(joined.substr(start, cut - start));
    if (cut == std::u16string_view::npos) break;
    start = cut + 1;
  }
  return out;
}

std::u16string Join(const KeyPath& path) {
  std::u16string out;
  for (const auto& part : path) {
    if (!out.empty()) out += u'\\';
    out += part;
  }
  return out;
}

LSTATUS ParseSubKey(std::u16string_view subKey, bool skipLeadingBackslash, KeyPath& out) {
  out.clear();
  if (!subKey.empty() && subKey.front() == u'\\') {
    if (!skipLeadingBackslash) return ERROR_BAD_PATHNAME;
    subKey.remove_prefix(1);
  }
  if (!subKey.empty() && subKey.back() == u'\\') subKey.remove_suffix(1);
  if (subKey.empty()) return ERROR_SUCCESS;
  out = Split(subKey);
  for (const auto& part : out) {
    if (part.empty() || part.size() > kMaxKeyNameLength ||
        part.find(u'\0') != std::u16string::npos)
      return ERROR_INVALID_PARAMETER;
  }
  if (out.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
  return ERROR_SUCCESS;
}

LSTATUS FromSqlite(int rc, bool writing) {
  switch (rc & 0xFF) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_REGISTRY_CORRUPT;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return writing ? ERROR_CANTWRITE : ERROR_CANTREAD;
  }
}

}  // namespace

struct RegistryDatabase::Impl {
  std::mutex mutex;
  sqlite3* db = nullptr;
  std::unordered_map<std::string, sqlite3_stmt*> statements;
  // Facts of the image, kept once they have been read (guarded by `mutex`).
  std::optional<bool> is64;
  std::u16string sid;

  ~Impl() {
    for (auto& entry : statements) sqlite3_finalize(entry.second);
    sqlite3_close_v2(db);
  }

  // Everything below is called with `mutex` held.

  // A prepared statement, cached for the life of the connection, reset when done. One SQL
  // text is in use by one Query at a time (no nesting of the same statement).
  class Query {
   public:
    Query(Impl& impl, const char* sql) {
      auto it = impl.statements.find(sql);
      if (it != impl.statements.end()) {
        stmt_ = it->second;
      } else {
        rc_ = sqlite3_prepare_v3(impl.db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
        if (rc_ == SQLITE_OK) impl.statements.emplace(sql, stmt_);
        else stmt_ = nullptr;
      }
    }
    ~Query() {
      if (stmt_) {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
      }
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& Int(int index, int64_t value) {
      if (stmt_ && rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, index, value);
      return *this;
    }
    Query& Blob(int index, const void* data, size_t size) {
      static const char kEmpty = 0;  // a null pointer would bind NULL, not an empty blob
      if (stmt_ && rc_ == SQLITE_OK)
        rc_ = sqlite3_bind_blob64(stmt_, index, size ? data : &kEmpty, size, SQLITE_TRANSIENT);
      return *this;
    }
    Query& Blob(int index, const std::string& bytes) {
      return Blob(index, bytes.data(), bytes.size());
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() {
      if (!stmt_ || rc_ != SQLITE_OK) return rc_ == SQLITE_OK ? SQLITE_ERROR : rc_;
      return sqlite3_step(stmt_);
    }
    int64_t ColumnInt(int column) { return sqlite3_column_int64(stmt_, column); }
    std::u16string ColumnName(int column) {
      const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
      int size = sqlite3_column_bytes(stmt_, column);
      std::u16string out;
      for (int i = 0; i + 1 < size; i += 2) out += char16_t(bytes[i] | bytes[i + 1] << 8);
      return out;
    }
    std::vector<uint8_t> ColumnBytes(int column) {
      const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, column));
      int size = sqlite3_column_bytes(stmt_, column);
      return bytes ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>();
    }

   private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
  };

  // Runs a statement that returns no rows.
  LSTATUS Run(const char* sql, bool writing) {
    Query q(*this, sql);
    int rc = q.Step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : FromSqlite(rc, writing);
  }

  LSTATUS KeyExists(int64_t id) {
    Query q(*this, "SELECT 1 FROM keys WHERE id = ?1");
    int rc = q.Int(1, id).Step();
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    return rc == SQLITE_DONE ? ERROR_KEY_DELETED : FromSqlite(rc, false);
  }

  // Finds a subkey; `stored` (when not null) receives its name as it is stored.
  LSTATUS FindChild(int64_t parent, std::u16string_view name, int64_t& id,
                    std::u16string* stored = nullptr) {
    Query q(*this, "SELECT id, name FROM keys WHERE parent = ?1 AND name_fold = ?2");
    int rc = q.Int(1, parent).Blob(2, FoldBlob(name)).Step();
    if (rc == SQLITE_ROW) {
      id = q.ColumnInt(0);
      if (stored) *stored = q.ColumnName(1);
      return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : FromSqlite(rc, false);
  }

  LSTATUS AddChild(int64_t parent, std::u16string_view name, int64_t& id) {
    Query q(*this, "INSERT INTO keys(parent, name, name_fold) VALUES(?1, ?2, ?3)");
    int rc = q.Int(1, parent).Blob(2, NameBlob(name)).Blob(3, FoldBlob(name)).Step();
    if (rc != SQLITE_DONE) return FromSqlite(rc, true);
    id = sqlite3_last_insert_rowid(db);
    return ERROR_SUCCESS;
  }

  // Follows `path` from the root of stored hive `hive`, creating missing keys when asked.
  // `path` is updated to the names as they are stored (their case may differ).
  LSTATUS Walk(int hive, KeyPath& path, bool create, int64_t& id, bool* created) {
    int64_t current = kRootId[hive];
    bool made = false;
    for (auto& part : path) {
      int64_t child = 0;
      LSTATUS status = FindChild(current, part, child, &part);
      if (status == ERROR_FILE_NOT_FOUND && create) {
        status = AddChild(current, part, child);
        made = true;
      }
      if (status != ERROR_SUCCESS) return status;
      current = child;
    }
    id = current;
    if (created) *created = made;
    return ERROR_SUCCESS;
  }

  LSTATUS CountChildren(int64_t id, uint32_t& count) {
    Query q(*this, "SELECT count(*) FROM keys WHERE parent = ?1");
    int rc = q.Int(1, id).Step();
    if (rc != SQLITE_ROW) return FromSqlite(rc, false);
    count = uint32_t(q.ColumnInt(0));
    return ERROR_SUCCESS;
  }

  // Deletes the values and subkeys below key `id`, and the key itself when asked.
  LSTATUS DeleteSubtree(int64_t id, bool includeSelf) {
    Query values(*this,
                 "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL "
                 "SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) "
                 "DELETE FROM vals WHERE key_id IN (SELECT id FROM tree)");
    int rc = values.Int(1, id).Step();
    if (rc != SQLITE_DONE) return FromSqlite(rc, true);
    Query keys(*this,
               "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL "
               "SELECT keys.id FROM keys JOIN tree ON keys.parent = tree.id) "
               "DELETE FROM keys WHERE id IN (SELECT id FROM tree) AND (?2 OR id != ?1)");
    rc = keys.Int(1, id).Int(2, includeSelf ? 1 : 0).Step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : FromSqlite(rc, true);
  }

  LSTATUS ReadValue(int64_t key, std::u16string_view name, uint32_t& type,
                    std::vector<uint8_t>& data) {
    Query q(*this, "SELECT type, data FROM vals WHERE key_id = ?1 AND name_fold = ?2");
    int rc = q.Int(1, key).Blob(2, FoldBlob(name)).Step();
    if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW) return FromSqlite(rc, false);
    type = uint32_t(q.ColumnInt(0));
    data = q.ColumnBytes(1);
    return ERROR_SUCCESS;
  }

  bool Is64() {
    if (is64) return *is64;
    KeyPath environment = {u"SYSTEM", u"CurrentControlSet", u"Control", u"Session Manager",
                           u"Environment"};
    int64_t key = 0;
    if (Walk(kLocalMachine, environment, false, key, nullptr) != ERROR_SUCCESS) return true;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    if (ReadValue(key, u"PROCESSOR_ARCHITECTURE", type, data) != ERROR_SUCCESS) return true;
    is64 = EqualsNoCase(FromRegSz(data.data(), data.size()), u"AMD64");
    return *is64;
  }

  std::u16string Sid() {
    if (!sid.empty()) return sid;
    KeyPath profileList = {u"SOFTWARE", u"Microsoft", u"Windows NT", u"CurrentVersion",
                           u"ProfileList"};
    static const std::u16string kPrefix = FoldCase(u"S-1-5-21-");
    int64_t key = 0;
    if (Walk(kLocalMachine, profileList, false, key, nullptr) == ERROR_SUCCESS) {
      Query q(*this, "SELECT name FROM keys WHERE parent = ?1 ORDER BY name_fold");
      q.Int(1, key);
      while (q.Step() == SQLITE_ROW) {
        std::u16string name = q.ColumnName(0);
        if (FoldCase(name).starts_with(kPrefix)) {
          sid = name;
          return sid;
        }
      }
    }
    return std::u16string(kDefaultSid);
  }

  // The stored path of `requested` (below stored hive `hive`) in `view`.
  LSTATUS Resolve(int hive, const KeyPath& requested, RegView view, KeyPath& stored) {
    stored = view != RegView::Reg64 && Is64()
                 ? registry_internal::RedirectFor32BitView(hive, requested)
                 : requested;
    return stored.size() > kMaxKeyDepth ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
  }

  // The stored hive and path of a predefined key.
  LSTATUS HiveRoot(Hive hive, int& stored, KeyPath& prefix) {
    prefix.clear();
    switch (hive) {
      case Hive::LocalMachine: stored = kLocalMachine; return ERROR_SUCCESS;
      case Hive::Users: stored = kUsers; return ERROR_SUCCESS;
      case Hive::ClassesRoot:
        stored = kLocalMachine;
        prefix = {u"SOFTWARE", u"Classes"};
        return ERROR_SUCCESS;
      case Hive::CurrentUser:
        stored = kUsers;
        prefix = {Sid()};
        return ERROR_SUCCESS;
    }
    return ERROR_INVALID_HANDLE;
  }
};

namespace {

using Impl = RegistryDatabase::Impl;

// Runs `body` in one transaction (BEGIN IMMEDIATE for writes, so that two writers never
// deadlock on lock upgrades) with the connection's mutex held; commits when it succeeds.
// Setting up a new file while another process does the same can fail with SQLITE_BUSY
// without SQLite waiting (it does not wait where waiting could deadlock), so the setup is
// retried for as long as the busy timeout.
template <class Step>
int RetryWhileBusy(Step&& step) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    int rc = step();
    if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED) return rc;
    if (std::chrono::steady_clock::now() >= deadline) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

template <class Body>
LSTATUS InTransaction(Impl& impl, bool writing, Body&& body) {
  std::lock_guard lock(impl.mutex);
  LSTATUS status = ERROR_SUCCESS;
  try {
    status = impl.Run(writing ? "BEGIN IMMEDIATE" : "BEGIN", writing);
    if (status != ERROR_SUCCESS) return status;
    status = body();
    if (status == ERROR_SUCCESS) {
      status = impl.Run("COMMIT", writing);
      if (status == ERROR_SUCCESS) return status;
    }
  } catch (const std::bad_alloc&) {
    status = ERROR_NOT_ENOUGH_MEMORY;  // never leave the transaction open
  }
  sqlite3_exec(impl.db, "ROLLBACK", nullptr, nullptr, nullptr);
  return status;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// RegistryDatabase

RegistryDatabase::RegistryDatabase() : impl_(std::make_unique<Impl>()) {}
RegistryDatabase::~RegistryDatabase() = default;

LSTATUS RegistryDatabase::Open(const std::filesystem::path& file,
                               std::shared_ptr<RegistryDatabase>& out) {
  out.reset();
  try {
    std::shared_ptr<RegistryDatabase> db(new RegistryDatabase());
    Impl& impl = *db->impl_;
    int rc = sqlite3_open_v2(file.c_str(), &impl.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc != SQLITE_OK) return ERROR_CANTOPEN;
    sqlite3_extended_result_codes(impl.db, 1);
    sqlite3_busy_timeout(impl.db, kBusyTimeoutMs);

    std::lock_guard lock(impl.mutex);
    // WAL lets readers work while another process writes. NORMAL synchronisation keeps the
    // file consistent after a crash; like Windows' lazy registry flush, the last writes
    // before a power loss may be lost.
    bool wal = false;
    rc = RetryWhileBusy([&] {
      sqlite3_stmt* stmt = nullptr;
      int step = sqlite3_prepare_v2(impl.db, "PRAGMA journal_mode = WAL", -1, &stmt, nullptr);
      if (step == SQLITE_OK) step = sqlite3_step(stmt);
      wal = step == SQLITE_ROW &&
            sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)),
                            "wal") == 0;
      sqlite3_finalize(stmt);
      return step;
    });
    if (!wal) return (rc & 0xFF) == SQLITE_NOTADB ? ERROR_REGISTRY_CORRUPT : ERROR_CANTOPEN;
    if (sqlite3_exec(impl.db, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr) !=
        SQLITE_OK)
      return ERROR_CANTOPEN;

    rc = RetryWhileBusy([&] {
      int step = sqlite3_exec(impl.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
      if (step == SQLITE_OK) step = sqlite3_exec(impl.db, kSchema, nullptr, nullptr, nullptr);
      if (step == SQLITE_OK) step = sqlite3_exec(impl.db, "COMMIT", nullptr, nullptr, nullptr);
      if (step != SQLITE_OK) sqlite3_exec(impl.db, "ROLLBACK", nullptr, nullptr, nullptr);
      return step;
    });
    if (rc != SQLITE_OK) {
      return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB
                 ? ERROR_REGISTRY_CORRUPT
                 : ERROR_CANTOPEN;
    }
    out = std::move(db);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

bool RegistryDatabase::Is64BitMachine() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->Is64();
}

std::u16string RegistryDatabase::CurrentUserSid() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->Sid();
}

LSTATUS RegistryDatabase::OpenPathLocked(int hive, const std::vector<std::u16string>& requested,
                                         RegView view, int64_t parent, bool create,
                                         RegKey& out, bool* created) {
  if (parent != 0) {
    LSTATUS status = impl_->KeyExists(parent);
    if (status != ERROR_SUCCESS) return status;
  }
  KeyPath stored;
  LSTATUS status = impl_->Resolve(hive, requested, view, stored);
  if (status != ERROR_SUCCESS) return status;
  int64_t id = 0;
  status = impl_->Walk(hive, stored, create, id, created);
  if (status != ERROR_SUCCESS) return status;
  out.db_ = shared_from_this();
  out.id_ = id;
  out.path_ = Join(stored);
  out.requested_ = Join(requested);
  out.hive_ = hive;
  out.view_ = view;
  return ERROR_SUCCESS;
}

LSTATUS RegistryDatabase::OpenHive(Hive hive, std::u16string_view subKey, RegView view,
                                   bool create, RegKey& out, bool* created) {
  if (created) *created = false;
  try {
    KeyPath relative;
    LSTATUS status = ParseSubKey(subKey, hive == Hive::ClassesRoot && !create, relative);
    RegKey result;
    if (status == ERROR_SUCCESS) {
      status = InTransaction(*impl_, create, [&] {
        int stored = 0;
        KeyPath path;
        LSTATUS st = impl_->HiveRoot(hive, stored, path);
        if (st != ERROR_SUCCESS) return st;
        path.insert(path.end(), relative.begin(), relative.end());
        if (path.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
        return OpenPathLocked(stored, path, view, 0, create, result, created);
      });
    }
    out = std::move(result);  // closed on failure, as Windows clears the handle
    return status;
  } catch (const std::bad_alloc&) {
    out.Close();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS RegistryDatabase::OpenKey(Hive hive, std::u16string_view subKey, RegView view,
                                  RegKey& out) {
  return OpenHive(hive, subKey, view, false, out, nullptr);
}

LSTATUS RegistryDatabase::CreateKey(Hive hive, std::u16string_view subKey, RegView view,
                                    RegKey& out, bool* created) {
  return OpenHive(hive, subKey, view, true, out, created);
}

std::shared_ptr<RegistryDatabase> CurrentRegistry() {
  // Kept for the life of the process (never destroyed, so no exit-time ordering issues).
  struct Cache {
    std::mutex mutex;
    std::filesystem::path file;
    dev_t device = 0;  // the file the connection is on: an image made anew at the same
    ino_t inode = 0;   // path is a different file and needs a new connection
    std::shared_ptr<RegistryDatabase> db;
  };
  static Cache* cache = new Cache;
  try {
    std::filesystem::path root = MachineRoot();
    if (root.empty()) return nullptr;
    std::filesystem::path file = root / "registry.db";
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return nullptr;  // not an image (any more)
    std::lock_guard lock(cache->mutex);
    if (cache->db && cache->file == file && cache->device == info.st_dev &&
        cache->inode == info.st_ino)
      return cache->db;
    std::shared_ptr<RegistryDatabase> db;
    if (RegistryDatabase::Open(file, db) != ERROR_SUCCESS) return nullptr;
    cache->file = file;
    cache->device = info.st_dev;
    cache->inode = info.st_ino;
    cache->db = db;
    return db;
  } catch (const std::exception&) {
    return nullptr;
  }
}

// ---------------------------------------------------------------------------------------
// RegKey

void RegKey::Close() {
  db_.reset();
  id_ = 0;
  path_.clear();
  requested_.clear();
  hive_ = 0;
  view_ = RegView::Process;
}

LSTATUS RegKey::Open(Hive hive, std::u16string_view subKey, RegView view, RegKey& out) {
  auto db = CurrentRegistry();
  if (!db) {
    out.Close();
    return ERROR_CANTOPEN;
  }
  return db->OpenKey(hive, subKey, view, out);
}

LSTATUS RegKey::Create(Hive hive, std::u16string_view subKey, RegView view, RegKey& out,
                       bool* created) {
  if (created) *created = false;
  auto db = CurrentRegistry();
  if (!db) {
    out.Close();
    return ERROR_CANTOPEN;
  }
  return db->CreateKey(hive, subKey, view, out, created);
}

LSTATUS RegKey::OpenOrCreateSubKey(std::u16string_view subKey, bool create, RegKey& out,
                                   bool* created) const {
  if (created) *created = false;
  if (!db_) {
    out.Close();
    return ERROR_INVALID_HANDLE;
  }
  try {
    KeyPath relative;
    LSTATUS status = ParseSubKey(subKey, false, relative);
    RegKey result;
    if (status == ERROR_SUCCESS) {
      KeyPath path = Split(requested_);
      path.insert(path.end(), relative.begin(), relative.end());
      if (path.size() > kMaxKeyDepth) status = ERROR_INVALID_PARAMETER;
      if (status == ERROR_SUCCESS)
        status = InTransaction(*db_->impl_, create, [&] {
          return db_->OpenPathLocked(hive_, path, view_, id_, create, result, created);
        });
    }
    out = std::move(result);  // `out` may be this key: assign only at the end
    return status;
  } catch (const std::bad_alloc&) {
    out.Close();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS RegKey::OpenSubKey(std::u16string_view subKey, RegKey& out) const {
  return OpenOrCreateSubKey(subKey, false, out, nullptr);
}

LSTATUS RegKey::CreateSubKey(std::u16string_view subKey, RegKey& out, bool* created) const {
  return OpenOrCreateSubKey(subKey, true, out, created);
}

LSTATUS RegKey::QueryValue(std::u16string_view name, uint32_t* type, uint8_t* data,
                           uint32_t* size) const {
  if (!db_) return ERROR_INVALID_HANDLE;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  uint32_t storedType = 0;
  std::vector<uint8_t> bytes;
  LSTATUS status = GetValue(name, storedType, bytes);
  if (status != ERROR_SUCCESS) return status;
  if (type) *type = storedType;
  if (!size) return ERROR_SUCCESS;
  const uint32_t needed = uint32_t(bytes.size());
  if (data && *size < needed) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (data && needed) std::copy(bytes.begin(), bytes.end(), data);
  *size = needed;
  return ERROR_SUCCESS;
}

LSTATUS RegKey::GetValue(std::u16string_view name, uint32_t& type,
                         std::vector<uint8_t>& data) const {
  if (!db_) return ERROR_INVALID_HANDLE;
  try {
    Impl& impl = *db_->impl_;
    return InTransaction(impl, false, [&] {
      LSTATUS status = impl.KeyExists(id_);
      return status == ERROR_SUCCESS ? impl.ReadValue(id_, name, type, data) : status;
    });
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS RegKey::SetValue(std::u16string_view name, uint32_t type, const uint8_t* data,
                         uint32_t size) const {
  if (!db_) return ERROR_INVALID_HANDLE;
  if (name.size() > kMaxValueNameLength || (!data && size)) return ERROR_INVALID_PARAMETER;
  try {
    Impl& impl = *db_->impl_;
    return InTransaction(impl, true, [&] {
      LSTATUS status = impl.KeyExists(id_);
      if (status != ERROR_SUCCESS) return status;
      // A replaced value keeps its name and its place in the enumeration order.
      Impl::Query q(impl,
                    "INSERT INTO vals(key_id, name, name_fold, type, data, ord) "
                    "VALUES(?1, ?2, ?3, ?4, ?5, "
                    "(SELECT coalesce(max(ord), 0) + 1 FROM vals WHERE key_id = ?1)) "
                    "ON CONFLICT(key_id, name_fold) DO UPDATE SET "
                    "type = excluded.type, data = excluded.data");
      int rc = q.Int(1, id_)
                   .Blob(2, NameBlob(name))
                   .Blob(3, FoldBlob(name))
                   .Int(4, type)
                   .Blob(5, data, size)
                   .Step();
      return rc == SQLITE_DONE ? ERROR_SUCCESS : FromSqlite(rc, true);
    });
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS RegKey::DeleteValue(std::u16string_view name) const {
  if (!db_) return ERROR_INVALID_HANDLE;
  try {
    Impl& impl = *db_->impl_;
    return InTransaction(impl, true, [&] {
      LSTATUS status = impl.KeyExists(id_);
      if (status != ERROR_SUCCESS) return status;
      Impl::Query q(impl, "DELETE FROM vals WHERE key_id = ?1 AND name_fold = ?2");
      int rc = q.Int(1, id_).Blob(2, FoldBlob(name)).Step();
      if (rc != SQLITE_DONE) return FromSqlite(rc, true);
      return sqlite3_changes(impl.db) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS RegKey::DeleteKeyImpl(std::u16string_view subKey, bool tree) const {
  if (!db_) return ERROR_INVALID_HANDLE;
  try {
    KeyPath relative;
    LSTATUS status = ParseSubKey(subKey, false, relative);
    if (status != ERROR_SUCCESS) return status;
    KeyPath path = Split(requested_);
    path.insert(path.end(), relative.begin(), relative.end());
    if (path.size() > kMaxKeyDepth) return ERROR_INVALID_PARAMETER;
    Impl& impl = *db_->impl_;
    return InTransaction(impl, true, [&] {
      LSTATUS st = impl.KeyExists(id_);
      if (st != ERROR_SUCCESS) return st;
      int64_t target = id_;
      if (!relative.empty()) {
        KeyPath stored;
        st = impl.Resolve(hive_, path, view_, stored);
        if (st == ERROR_SUCCESS) st = impl.Walk(hive_, stored, false, target, nullptr);
        if (st != ERROR_SUCCESS) return st;
      }
      const bool isRoot = target == kRootId[kLocalMachine] || target == kRootId[kUsers];
      if (tree) {
        // RegDeleteTree with no subkey empties this key and keeps it.
        if (isRoot) return ERROR_ACCESS_DENIED;  // Windows cannot delete its hive keys
        return impl.DeleteSubtree(target, !relative.empty());
      }
      if (isRoot) return ERROR_ACCESS_DENIED;
      uint32_t children = 0;
      st = impl.CountChildren(target, children);
      if (st != ERROR_SUCCESS) return st;
      if (children) return ERROR_ACCESS_DENIED;
      return impl.DeleteSubtree(target, true);
    });
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS RegKey::DeleteSubKey(std::u16string_view subKey) const {
  return DeleteKeyImpl(subKey, false);
}

LSTATUS RegKey::DeleteTree(std::u16string_view subKey) const {
  return DeleteKeyImpl(subKey, true);
}

LSTATUS RegKey::EnumKey(uint32_t index, std::u16string& name) const {
  if (!db_) return ERROR_INVALID_HANDLE;
  try {
    Impl& impl = *db_->impl_;
    return InTransaction(impl, false, [&] {
      LSTATUS status = impl.KeyExists(id_);
      if (status != ERROR_SUCCESS) return status;
      Impl::Query q(impl,
                    "SELECT name FROM keys WHERE parent = ?1 ORDER BY name_fold "
                    "LIMIT 1 OFFSET ?2");
      int rc = q.Int(1, id_).Int(2, index).Step();
      if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
      if (rc != SQLITE_ROW) return FromSqlite(rc, false);
      name = q.ColumnName(0);
      return ERROR_SUCCESS;
    });
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS RegKey::EnumValue(uint32_t index, std::u16string& name, uint32_t* type,
                          std::vector<uint8_t>* data) const {
  if (!db_) return ERROR_INVALID_HANDLE;
  try {
    Impl& impl = *db_->impl_;
    return InTransaction(impl, false, [&] {
      LSTATUS status = impl.KeyExists(id_);
      if (status != ERROR_SUCCESS) return status;
      Impl::Query q(impl,
                    "SELECT name, type, data FROM vals WHERE key_id = ?1 ORDER BY ord "
                    "LIMIT 1 OFFSET ?2");
      int rc = q.Int(1, id_).Int(2, index).Step();
      if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
      if (rc != SQLITE_ROW) return FromSqlite(rc, false);
      name = q.ColumnName(0);
      if (type) *type = uint32_t(q.ColumnInt(1));
      if (data) *data = q.ColumnBytes(2);
      return ERROR_SUCCESS;
    });
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LSTATUS RegKey::QueryInfo(uint32_t* subKeys, uint32_t* values) const {
  if (!db_) return ERROR_INVALID_HANDLE;
  Impl& impl = *db_->impl_;
  return InTransaction(impl, false, [&] {
    LSTATUS status = impl.KeyExists(id_);
    if (status != ERROR_SUCCESS) return status;
    uint32_t children = 0;
    status = impl.CountChildren(id_, children);
    if (status != ERROR_SUCCESS) return status;
    Impl::Query q(impl, "SELECT count(*) FROM vals WHERE key_id = ?1");
    int rc = q.Int(1, id_).Step();
    if (rc != SQLITE_ROW) return FromSqlite(rc, false);
    if (subKeys) *subKeys = children;
    if (values) *values = uint32_t(q.ColumnInt(0));
    return ERROR_SUCCESS;
  });
}

std::u16string RegKey::Path() const {
  if (!db_) return {};
  std::u16string out = kHiveNames[hive_];
  if (!path_.empty()) out += u'\\' + path_;
  return out;
}

LSTATUS RegKey::GetDword(std::u16string_view name, uint32_t& value) const {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  LSTATUS status = GetValue(name, type, data);
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_DWORD || data.size() != 4) return ERROR_INVALID_DATA;
  value = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
          uint32_t(data[3]) << 24;
  return ERROR_SUCCESS;
}

LSTATUS RegKey::GetString(std::u16string_view name, std::u16string& value) const {
  uint32_t type = 0;
  std::vector<uint8_t> data;
  LSTATUS status = GetValue(name, type, data);
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
  value = FromRegSz(data.data(), data.size());
  return ERROR_SUCCESS;
}

LSTATUS RegKey::SetDword(std::u16string_view name, uint32_t value) const {
  const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                            uint8_t(value >> 24)};
  return SetValue(name, REG_DWORD, bytes, 4);
}

LSTATUS RegKey::SetString(std::u16string_view name, std::u16string_view value,
                          uint32_t type) const {
  std::vector<uint8_t> bytes;
  try {
    bytes = ToRegSz(value);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return SetValue(name, type, bytes.data(), uint32_t(bytes.size()));
}

// ---------------------------------------------------------------------------------------
// Static forms on predefined keys

LSTATUS RegDeleteKey(Hive hive, std::u16string_view subKey, RegView view) {
  KeyPath relative;
  LSTATUS status = ParseSubKey(subKey, false, relative);
  if (status != ERROR_SUCCESS) return status;
  if (relative.empty()) return ERROR_ACCESS_DENIED;  // a predefined key cannot be deleted
  RegKey root;
  status = RegKey::Open(hive, u"", view, root);
  return status == ERROR_SUCCESS ? root.DeleteSubKey(subKey) : status;
}

LSTATUS RegDeleteTree(Hive hive, std::u16string_view subKey, RegView view) {
  RegKey root;
  LSTATUS status = RegKey::Open(hive, u"", view, root);
  return status == ERROR_SUCCESS ? root.DeleteTree(subKey) : status;
}

}  // namespace platform
