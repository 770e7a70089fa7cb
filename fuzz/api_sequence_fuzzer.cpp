// Drives the public API with a sequence of calls read from the input bytes:
// Connection objects on temporary, in-memory and shared on-disk databases
// (with empty handles mixed in), statements from a fixed set of SQL texts,
// valid and invalid, every bind with odd indices and sizes, every column
// getter with odd columns, row iteration with callbacks that stop, finalize,
// close, reset, nest, keep the handle or throw, lookups by name, destroys and
// the release jobs they queue on the database service.
//
// Where the library leaves a duty to its caller, the driver keeps it: once an
// object is destroyed its connection and statement belong to the release job
// on the service thread, so until the service has been drained only the
// functions that touch neither (name, opened flag, conversions, destroy,
// errstr, free) are called on it. Lookups by name run on the service thread,
// where the release jobs run too.
//
// Besides what ASan and UBSan catch, the driver keeps a model of every object
// it made (its path, whether it is open, which SQL text its statement was
// prepared from and how many rows that statement has given in its current
// run) and of what each SQL text yields, and checks the library's promises
// as invariants after every step, whatever the sequence:
//  - a walk delivers no more rows than its statement has, never restarts a
//    statement that ended, never goes on with one its callback reset or
//    replaced, and returns what the callback's action calls for (each walk's
//    callback may step, step to the end, reset, finalize, finalize and
//    prepare, close, walk again, stop or throw at one of its rows);
//  - no result comes from a connection the object no longer has: a closed
//    object has no statement, steps nothing and walks nothing;
//  - a closed or released object holds no lock: with no open object on a
//    file, another connection takes it exclusively;
//  - a destroyed object is released (closed, no framework reference) whatever
//    its "object-destroyed" mark held, and the shutdown at the end of every
//    input returns once all are released;
//  - the default of every function on an empty handle, the row indices and
//    counters of rows_each, the refused byte counts, and that every object
//    made by an input is freed once it has been destroyed and released.
// Nothing bounds what the library does: a walk that did not end would be
// caught delivering a row its statement does not have.
#include <kel_database/kel_database.h>
#include <kel_system.h>
#include <sqlite3.h>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using handle = boost::shared_ptr<_kel_sqlite>;

// SQLite result codes the checks below rely on.
constexpr int kOk = 0;
constexpr int kTooBig = 18;
constexpr int kMisuse = 21;
constexpr int kRow = 100;
constexpr int kDone = 101;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "api_sequence_fuzzer: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

void check(bool holds, const char* what) {
  if (!holds) finding(what);
}

// ---- Process-wide setup ---------------------------------------------------

std::string g_dir;  // database files of the inputs, emptied before each input
std::string g_file_a;
std::string g_file_b;

void remove_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(g_dir, ignored);
}

constexpr char kDirPrefix[] = "kel_fuzz_";

// libFuzzer may end the process without running exit handlers (after a
// finding, a timeout or -max_total_time), so the directory carries the
// process id and each run first removes those of processes that are gone.
void remove_stale_dirs(const std::string& base) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(base, ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kDirPrefix, 0) != 0) continue;
    const std::string pid = name.substr(sizeof kDirPrefix - 1);
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (kill(static_cast<pid_t>(std::stol(pid)), 0) != 0 && errno == ESRCH)
      std::filesystem::remove_all(entry.path(), ignored);
  }
}

void setup() {
  // tmpfs when there is one: commits then cost no disk flush.
  const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  remove_stale_dirs(base);
  g_dir = base + "/" + kDirPrefix + std::to_string(getpid());
  std::error_code error;
  std::filesystem::remove_all(g_dir, error);
  if (!std::filesystem::create_directory(g_dir, error)) finding("cannot create a directory for the databases");
  g_file_a = g_dir + "/a.db";
  g_file_b = g_dir + "/b.db";
  std::atexit(remove_dir);
  // SQLite's temporary databases ("" as the path) go there too.
  setenv("SQLITE_TMPDIR", g_dir.c_str(), 1);

  // The library reports every refused call on standard output; millions of
  // runs need none of it (nor the failed checks, see kel_assertion_faild).
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) {
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  kel_database_init();
}

void empty_dir() {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(g_dir, ignored))
    std::filesystem::remove_all(entry.path(), ignored);
}

// Runs `job` on the database service thread and waits for it.
void on_service(std::function<void()> job) {
  struct completion {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
  };
  auto state = std::make_shared<completion>();
  kel_database_exec(
      [state, job = std::move(job)] {
        job();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->done = true;
        state->done_changed.notify_all();
      },
      __FILE__, __LINE__);
  std::unique_lock<std::mutex> lock(state->mutex);
  // No deadline of our own: a service that never runs the job has hung,
  // which libFuzzer's -timeout reports with the input that caused it.
  state->done_changed.wait(lock, [&] { return state->done; });
}

// ---- Input ------------------------------------------------------------------

class bytes {
 public:
  bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
  size_t pick(size_t n) { return next() % n; }
  template <typename T, size_t N>
  const T& choose(const T (&table)[N]) {
    return table[pick(N)];
  }
  uint32_t u32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | next();
    return value;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

const int kOddInts[] = {0, 1, 2, 3, 4, 5, -1, -2, 7, 63, 999, 32767, -32768, INT_MAX, INT_MIN, 1 << 20};
const int kColumns[] = {0, 1, 2, 3, 4, 5, -1, 6, 100, INT_MAX, INT_MIN};
const int kCodes[] = {0, 1, 5, 7, 14, 18, 19, 21, 100, 101, 1001, -1, 266, 3082, 999, INT_MAX, INT_MIN};
const long long kInt64s[] = {0, -1, 1, LLONG_MIN, LLONG_MAX, 1LL << 53, -(1LL << 31)};
const double kDoubles[] = {0.0,
                           -0.0,
                           1.5,
                           -2.25e-300,
                           1e308,
                           std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::denorm_min()};
const char* const kParameterNames[] = {":a", "@b", "$name", "?1", "?2", ":missing", "", nullptr};
const char* const kNames[] = {"main", "other", ""};
const char* const kFiles[] = {"caller.cpp", "", "src/kel_database/kel_sqlite.cpp"};

// Statements for prepare and sql_stmt. Every one ends quickly and grows the
// database by a bounded amount, whatever the order; some fail to compile,
// some fail when they run, some hold several statements or none.
const char* const kSql[] = {
    "CREATE TABLE IF NOT EXISTS t(a INTEGER PRIMARY KEY, b TEXT, c BLOB, d REAL)",
    "INSERT INTO t(b, c, d) VALUES(?1, ?2, ?3)",
    "INSERT INTO t(a, b) VALUES(:a, @b)",
    "SELECT a, b, c, d FROM t ORDER BY a LIMIT 6",
    "SELECT * FROM t WHERE a > ? AND b IS NOT $name LIMIT 6",
    "UPDATE t SET b = ?, d = d + 1 WHERE a = ?",
    "DELETE FROM t WHERE a % 2 = 0",
    "SELECT 1, 'two', x'0300ff', NULL, 4.5; SELECT 2",
    ("WITH RECURSIVE c(x) AS (VALUES(1) UNION ALL SELECT x + 1 FROM c WHERE x < 40) "
     "SELECT x, hex(x), randomblob(8), x * 0.5 FROM c"),
    "",
    "  -- nothing but a comment\n",
    "SELEC broken syntax",
    "SELECT * FROM no_such_table",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    "PRAGMA journal_mode = WAL",
    "INSERT INTO t(b, c, d) SELECT b, c, d FROM t LIMIT 8",
    "DROP TABLE IF EXISTS t",
    "SELECT 'a' || char(0) || 'b', CAST('12abc' AS INTEGER), typeof(?), length(?)",
    "BEGIN; INSERT INTO t(b) VALUES('x'); COMMIT",
    "CREATE TABLE IF NOT EXISTS u(x UNIQUE); INSERT INTO u VALUES(1); INSERT INTO u VALUES(1)",
    "VACUUM",
    "SELECT ?1, ?2, ?3, ?4, ?5, ?999",
    "PRAGMA integrity_check",
};

// What each text of kSql yields when prepared and stepped to its end: the
// rows of its first statement, exactly where they do not depend on the
// data, and at most.
struct yield {
  long exact;  // -1: depends on the data
  unsigned long most;
};
const yield kYields[] = {
    {0, 0},     // CREATE TABLE
    {0, 0},     // INSERT
    {0, 0},     // INSERT
    {-1, 6},    // SELECT ... LIMIT 6
    {-1, 6},    // SELECT ... LIMIT 6
    {0, 0},     // UPDATE
    {0, 0},     // DELETE
    {1, 1},     // SELECT 1, 'two', ...; (the first statement only)
    {40, 40},   // the recursive count to 40
    {0, 0},     // (no statement)
    {0, 0},     // (no statement)
    {0, 0},     // (does not compile)
    {0, 0},     // (does not compile)
    {0, 0},     // BEGIN IMMEDIATE
    {0, 0},     // COMMIT
    {0, 0},     // ROLLBACK
    {1, 1},     // PRAGMA journal_mode: the mode
    {0, 0},     // INSERT ... SELECT
    {0, 0},     // DROP TABLE
    {1, 1},     // SELECT of expressions
    {0, 0},     // BEGIN (the first statement only)
    {0, 0},     // CREATE TABLE (the first statement only)
    {0, 0},     // VACUUM
    {1, 1},     // SELECT of parameters
    {-1, 100},  // PRAGMA integrity_check: "ok", or up to 100 problems
};
static_assert(sizeof kYields / sizeof kYields[0] == sizeof kSql / sizeof kSql[0], "a yield for every SQL text");

// The texts a row callback prepares in place of the statement it walks.
const int kReplacements[] = {7, 8, 19, 23};

// Thrown by a row callback; must reach the caller of rows_each unchanged.
struct callback_thrown : std::runtime_error {
  callback_thrown() : std::runtime_error("thrown by a row callback") {}
};

struct made_object {
  handle strong;  // for the clean-up at the end of the input
  boost::weak_ptr<_kel_sqlite> weak;
  std::string path;
  bool destroyed = false;

  // The model of its statement.
  int sql = -1;                  // the kSql index it was prepared from; -1 for none
  unsigned long pos = 0;         // rows given in the current run
  bool ended = false;            // the last step gave no row: the next one starts the statement over
  bool failed = false;           // ... and it gave an error
  unsigned long generation = 0;  // bumped when the statement is prepared, finalized, reset or started over

  void no_statement() {
    sql = -1;
    rewound();
  }
  void prepared(int index) {
    sql = index;
    rewound();
  }
  void rewound() {
    pos = 0;
    ended = failed = false;
    ++generation;
  }
  // A row given by a step of the driver or of a walk.
  void row() {
    ++pos;
    check(sql >= 0 && pos <= kYields[sql].most, "more rows than the statement has");
  }
  void done() {
    ended = true;
    failed = false;
    check(kYields[sql].exact < 0 || pos == static_cast<unsigned long>(kYields[sql].exact),
          "a statement ended with another number of rows than it has");
  }
  // The result of a kel_sqlite_step on the object.
  void stepped(int rc) {
    if (sql < 0) {
      check(rc == -1, "a step gave a result without a statement");
      return;
    }
    check(rc != -1, "a step refused a statement the object has");
    if (ended) rewound();  // SQLite starts an ended statement over
    if (rc == kRow) {
      row();
    } else if (rc == kDone) {
      done();
    } else {
      ended = failed = true;
    }
  }
};

constexpr size_t kSlots = 4;
constexpr size_t kMaxObjects = 12;
constexpr int kMaxOps = 256;

class driver {
 public:
  driver(const uint8_t* data, size_t size) : in_(data, size), pool_(reinterpret_cast<const char*>(data), size) {}

  void run() {
    for (int ops = 0; ops < kMaxOps && !in_.empty(); ++ops) step();
    finish();
  }

 private:
  enum op {
    kNew,
    kDrop,
    kCopy,
    kOpen,
    kTryOpen,
    kClose,
    kSqlStmt,
    kPrepare,
    kBind,
    kStep,
    kReset,
    kFinalize,
    kColumn,
    kCounters,
    kRowsEach,
    kLookup,
    kDestroy,
    kDrain,
    kRunOnce,
    kConvert,
    kMark,
    kOpCount
  };

  handle& slot() { return slots_[in_.pick(kSlots)]; }

  // An empty handle is always fair game (it tests the guard); a destroyed
  // object only once its release has run.
  bool usable(const handle& object) const { return !object || releasing_.count(object.get()) == 0; }

  made_object* record(const handle& object) {
    for (auto& made : made_) {
      if (made.strong.get() == object.get()) return &made;
    }
    return nullptr;
  }

  made_object* model(const handle& object) { return object ? record(object) : nullptr; }

  // Every release queued so far has run: each destroyed object is closed and
  // no longer held by the framework, whatever its mark held.
  void drain() {
    on_service([] {});
    for (const _kel_sqlite* object : releasing_) {
      for (auto& made : made_) {
        if (made.strong.get() != object) continue;
        check(!kel_sqlite_is_opened(made.strong), "a released object is still open");
        check(!kel_sqlite_to_object(made.strong)->is_reffed(), "a destroyed object was never released");
        made.no_statement();
      }
    }
    releasing_.clear();
    check_locks();
  }

  // The statement the library holds is the one the model expects: none
  // after a close, a finalize, a release or a failed prepare.
  void check_statement(const handle& object) {
    made_object* made = model(object);
    if (made == nullptr || !usable(object)) return;
    check((kel_sqlite_sql(object) != nullptr) == (made->sql >= 0), "the object's statement is not the one expected");
  }

  // A file that no open object of this input has open is held by nobody:
  // another connection takes it exclusively at once.
  void check_locks() {
    for (const std::string* file : {&g_file_a, &g_file_b}) {
      bool in_use = false;
      for (const auto& made : made_) in_use = in_use || (made.path == *file && kel_sqlite_is_opened(made.strong));
      if (in_use) continue;
      sqlite3* probe = nullptr;
      if (sqlite3_open_v2(file->c_str(), &probe, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        const int rc = sqlite3_exec(probe, "BEGIN EXCLUSIVE; COMMIT;", nullptr, nullptr, nullptr);
        check(rc == SQLITE_OK, "a file is held although no object has it open");
      }
      sqlite3_close(probe);
    }
  }

  void step() {
    switch (static_cast<op>(in_.pick(kOpCount))) {
      case kNew:
        make();
        break;
      case kDrop:
        slot().reset();
        break;
      case kCopy: {
        handle& to = slot();
        to = slot();
        break;
      }
      case kOpen:
      case kTryOpen:
        open();
        break;
      case kClose:
        close();
        break;
      case kSqlStmt:
        sql_stmt();
        break;
      case kPrepare:
        prepare();
        break;
      case kBind:
        bind();
        break;
      case kStep: {
        const handle object = slot();
        if (!usable(object)) break;
        const int rc = kel_sqlite_step(object);
        if (!object) check(rc == -1, "step on an empty handle");
        if (made_object* made = model(object)) made->stepped(rc);
        check_statement(object);
        break;
      }
      case kReset: {
        const handle object = slot();
        if (!usable(object)) break;
        const int rc = kel_sqlite_reset(object);
        if (!object) check(rc == -1, "reset on an empty handle");
        made_object* made = model(object);
        if (made != nullptr && made->sql < 0) check(rc == kOk, "reset without a statement");
        if (made != nullptr && made->sql >= 0) made->rewound();
        break;
      }
      case kFinalize: {
        const handle object = slot();
        if (!usable(object)) break;
        check(kel_sqlite_finalize(object) == static_cast<bool>(object), "finalize result");
        if (made_object* made = model(object)) made->no_statement();
        check_statement(object);
        break;
      }
      case kColumn:
        column();
        break;
      case kCounters:
        counters();
        break;
      case kRowsEach: {
        const handle object = slot();
        const bool prepare_first = in_.next() & 1;
        if (!usable(object)) break;
        // Often a query of its own first, so that a walk with rows to
        // deliver takes few steps of the input to reach.
        made_object* made = model(object);
        if (prepare_first && made != nullptr && made->sql < 0 && kel_sqlite_is_opened(object)) {
          const int query = in_.choose(kReplacements);
          check(kel_sqlite_prepare(object, kSql[query]) == kOk, "a query prepared for a walk");
          made->prepared(query);
        }
        rows_each(object, 0);
        break;
      }
      case kLookup:
        lookup();
        break;
      case kDestroy:
        destroy();
        break;
      case kDrain:
        drain();
        break;
      case kRunOnce:
        run_once();
        break;
      case kConvert:
        convert();
        break;
      case kMark:
        mark();
        break;
      case kOpCount:
        break;
    }
  }

  void make() {
    const std::string paths[] = {"", ":memory:", g_file_a, g_file_b, g_dir + "/missing/x.db", g_file_a};
    const std::string path = in_.choose(paths);
    const std::string name = in_.choose(kNames);
    handle& target = slot();
    if (made_.size() >= kMaxObjects) return;
    handle object = kel_sqlite_new(path, name);
    check(object != nullptr, "kel_sqlite_new gave an empty handle");
    check(kel_sqlite_get_name(object) == name, "get_name differs from the name given");
    check(!kel_sqlite_is_opened(object), "a new object is open");
    made_object made;
    made.strong = object;
    made.weak = object;
    made.path = path;
    made_.push_back(std::move(made));
    target = object;
    // Often opened at once: most calls need an open object.
    if (in_.next() & 1) {
      const int rc = kel_sqlite_open(object);
      check(kel_sqlite_is_opened(object) == (rc == kOk), "opened flag after open");
    }
  }

  void open() {
    const handle object = slot();
    const bool try_only = in_.next() & 1;
    if (!usable(object)) return;
    const bool was_open = kel_sqlite_is_opened(object);
    const int rc = try_only ? kel_sqlite_try_open(object) : kel_sqlite_open(object);
    if (!object || was_open) {
      // Refused: the connection in place stays open and usable.
      check(rc == -1, "open of an empty handle or an open object");
      check(kel_sqlite_is_opened(object) == was_open, "a refused open changed the opened flag");
      return;
    }
    check(kel_sqlite_is_opened(object) == (rc == kOk), "opened flag after open");
    // Once destroyed an object never opens again: nothing would release it.
    const made_object* made = record(object);
    if (made != nullptr && made->destroyed) check(rc == kMisuse, "a destroyed object opened again");
    // Opened afresh: no statement of an earlier connection comes back with it.
    check_statement(object);
  }

  void close() {
    const handle object = slot();
    if (!usable(object)) return;
    check(kel_sqlite_close(object) == static_cast<bool>(object), "close result");
    check(!kel_sqlite_is_opened(object), "open after close");
    if (made_object* made = model(object)) made->no_statement();
    check_statement(object);
    check_locks();
  }

  void sql_stmt() {
    const handle object = slot();
    const char* sql = in_.choose(kSql);
    const bool want_message = in_.next() & 1;
    if (!usable(object)) return;
    char* message = nullptr;
    const int rc = kel_sqlite_sql_stmt(object, sql, want_message ? &message : nullptr);
    if (!object) check(rc == -1 && message == nullptr, "sql_stmt on an empty handle");
    if (message != nullptr) {
      check(std::strlen(message) > 0, "an empty error message");
      char* untouched = message;
      check(!kel_sqlite_free(handle(), untouched) && untouched == message, "free on an empty handle");
      check(kel_sqlite_free(object, message) && message == nullptr, "free of an error message");
    }
  }

  void prepare() {
    const handle object = slot();
    const int index = static_cast<int>(in_.pick(sizeof kSql / sizeof kSql[0]));
    const char* sql = kSql[index];
    if (!usable(object)) return;
    const bool open = kel_sqlite_is_opened(object);
    const int rc = kel_sqlite_prepare(object, sql);
    if (!object) check(rc == -1, "prepare on an empty handle");
    made_object* made = model(object);
    if (made == nullptr) return;
    // Refused exactly when there is no connection or a statement is in place.
    check((rc == -1) == (!open || made->sql >= 0), "prepare refused or accepted against the object's state");
    if (rc == -1) return;
    if (kel_sqlite_sql(object) != nullptr)
      made->prepared(index);
    else
      made->no_statement();
  }

  // A buffer of `length` bytes out of the input, or null (which SQLite binds
  // as NULL whatever the count).
  const char* bytes_from_input(unsigned long& length) {
    if (in_.pick(8) == 0) {
      length = in_.u32();
      return nullptr;
    }
    const size_t offset = in_.pick(pool_.size() + 1);
    const size_t available = pool_.size() - offset;
    length = in_.pick(available + 1);
    return pool_.data() + offset;
  }

  void bind() {
    const handle object = slot();
    const int kind = static_cast<int>(in_.pick(7));
    const int index = in_.choose(kOddInts);
    if (!usable(object)) return;
    int rc = 0;
    switch (kind) {
      case 0:
        rc = kel_sqlite_bind_int(object, index, static_cast<int>(in_.u32()));
        break;
      case 1:
        rc = kel_sqlite_bind_int64(object, index, in_.next() & 1 ? in_.choose(kInt64s) : in_.u32());
        break;
      case 2:
        rc = kel_sqlite_bind_double(object, index, in_.choose(kDoubles));
        break;
      default: {
        unsigned long length = 0;
        const char* data = bytes_from_input(length);
        // Counts SQLite would read as another length than the caller's.
        const unsigned long refused[] = {static_cast<unsigned long>(INT_MAX) + 1, ULONG_MAX, ULONG_MAX - 1, 1UL << 32};
        bool must_refuse = false;
        if (in_.pick(4) == 0) {
          length = in_.choose(refused);
          const bool text = kind >= 5;
          // For text the largest count means "up to the NUL": the pool ends in one.
          must_refuse = !(text && length == ULONG_MAX);
        }
        const auto* blob = reinterpret_cast<const unsigned char*>(data);
        switch (kind) {
          case 3:
            rc = kel_sqlite_bind_blob(object, index, blob, length);
            break;
          case 4:
            rc = kel_sqlite_bind_blob_static(object, index, blob, length);
            break;
          case 5:
            rc = kel_sqlite_bind_text(object, index, data, length);
            break;
          default:
            rc = kel_sqlite_bind_text_static(object, index, data, length);
            break;
        }
        if (must_refuse) check(rc == kTooBig || rc == -1, "a byte count above INT_MAX was bound");
        break;
      }
    }
    if (!object) check(rc == -1, "bind on an empty handle");
  }

  void read_column(const handle& object, int column, int kind) {
    switch (kind) {
      case 0: {
        unsigned char sentinel = 0;
        unsigned char* data = &sentinel;
        int size = -7;
        const bool ok = kel_sqlite_column_blob(object, column, data, size);
        if (!object) {
          check(!ok && data == &sentinel && size == -7, "column_blob on an empty handle touched its outputs");
          return;
        }
        if (!ok) {
          // Refused without a statement (outputs untouched), or nothing to
          // hand out (no buffer at all).
          const bool untouched = data == &sentinel && size == -7;
          check(untouched || (data == nullptr && size == 0), "a failed column_blob left a buffer");
          return;
        }
        check(size >= 0, "a negative blob size");
        if (size > 0) {
          check(data != nullptr, "column_blob true without a buffer");
          volatile unsigned char last = data[size - 1];  // the whole buffer is ours
          (void)last;
        }
        std::free(data);
        return;
      }
      case 1: {
        const std::string text = kel_sqlite_column_text(object, column);
        if (!object) check(text.empty(), "column_text on an empty handle");
        return;
      }
      case 2: {
        const int value = kel_sqlite_column_int(object, column);
        if (!object) check(value == -1, "column_int on an empty handle");
        return;
      }
      case 3: {
        const long long value = kel_sqlite_column_int64(object, column);
        if (!object) check(value == -1, "column_int64 on an empty handle");
        return;
      }
      case 4: {
        const double value = kel_sqlite_column_double(object, column);
        if (!object) check(value == -1.0, "column_double on an empty handle");
        return;
      }
      case 5: {
        const char* declared = kel_sqlite_column_decltype(object, column);
        if (declared != nullptr) (void)std::strlen(declared);
        if (!object) check(declared == nullptr, "column_decltype on an empty handle");
        return;
      }
      case 6: {
        const char* name = kel_sqlite_column_name(object, column);
        if (name != nullptr) (void)std::strlen(name);
        if (!object) check(name == nullptr, "column_name on an empty handle");
        return;
      }
      default: {
        // Exactly one of the five type tests holds whenever there is a type.
        const int type = kel_sqlite_column_type(object, column);
        const bool tests[] = {kel_sqlite_is_column_int(object, column), kel_sqlite_is_column_double(object, column),
                              kel_sqlite_is_column_text(object, column), kel_sqlite_is_column_blob(object, column),
                              kel_sqlite_is_column_null(object, column)};
        int holding = 0;
        for (int i = 0; i < 5; ++i) {
          if (tests[i]) {
            ++holding;
            check(type == i + 1, "a type test disagrees with column_type");
          }
        }
        check(type == -1 ? holding == 0 : (type >= 1 && type <= 5 && holding == 1), "column type tests");
        return;
      }
    }
  }

  void column() {
    const handle object = slot();
    const int column = in_.choose(kColumns);
    const int kind = static_cast<int>(in_.pick(8));
    if (usable(object)) read_column(object, column, kind);
  }

  void counters() {
    const handle object = slot();
    const int kind = static_cast<int>(in_.pick(14));
    const int index = in_.choose(kOddInts);
    const char* parameter = in_.choose(kParameterNames);
    const int code = in_.choose(kCodes);
    // These three touch neither the connection nor the statement.
    if (kind == 11) {
      const char* text = kel_sqlite_errstr(object, code);
      check(object ? text != nullptr && std::strlen(text) > 0 : text == nullptr, "errstr");
      if (object && code == 1001)
        check(std::strcmp(text, "Prepared statement missing bind parameters") == 0, "the text of 1001");
      return;
    }
    if (kind == 12) {
      if (!object)
        check(!kel_sqlite_is_opened(object), "is_opened on an empty handle");
      else
        (void)kel_sqlite_is_opened(object);
      return;
    }
    if (kind == 13) {
      const std::string name = kel_sqlite_get_name(object);
      if (!object) check(name.empty(), "get_name on an empty handle");
      return;
    }
    if (!usable(object)) return;
    long long result = 0;
    switch (kind) {
      case 0:
        result = kel_sqlite_data_count(object);
        break;
      case 1:
        result = kel_sqlite_column_count(object);
        break;
      case 2:
        result = kel_sqlite_last_insert_rowid(object);
        break;
      case 3:
        result = kel_sqlite_affected_rows_count(object);
        break;
      case 4:
        result = kel_sqlite_bind_parameter_count(object);
        break;
      case 5: {
        const char* name = kel_sqlite_bind_parameter_name(object, index);
        if (name != nullptr) (void)std::strlen(name);
        result = name == nullptr ? -1 : 0;
        break;
      }
      case 6:
        result = kel_sqlite_bind_parameter_index(object, parameter);
        break;
      case 7: {
        const char* sql = kel_sqlite_sql(object);
        if (sql != nullptr) (void)std::strlen(sql);
        result = sql == nullptr ? -1 : 0;
        break;
      }
      case 8:
        result = kel_sqlite_last_error_code(object);
        break;
      case 9: {
        const char* message = kel_sqlite_last_error_message(object);
        if (message != nullptr) (void)std::strlen(message);
        result = message == nullptr ? -1 : 0;
        break;
      }
      default:
        result = kel_sqlite_bind_clear(object);
        break;
    }
    if (!object) check(result == -1, "a counter on an empty handle");
  }

  enum callback_kind {
    kGoOn,
    kStopAt,
    kFinalizeAt,
    kFinalizeAndStopAt,
    kThrowAt,
    kEmpty,
    kCloseAt,
    kResetAt,
    kNestAt,
    kKeepHandleAt,
    kPrepareAt,
    kStepAt,
    kStepToEndAt,
    kReplaceAt,
    kCallbackKinds
  };

  // What a walk must return once its callback has acted: kAnyResult while
  // the callback has done nothing that ends the walk.
  static constexpr int kAnyResult = INT_MIN;

  struct walk {
    made_object* made;  // the model of the walked object (null for an empty handle)
    unsigned long generation;
    callback_kind kind;
    unsigned long at;
    unsigned long calls = 0;
    int expect = kAnyResult;
  };

  // What the walk must do once a callback that returns true has acted on its
  // statement, by the model: with no statement, the next step's check ends
  // it (0); reset, replaced or started over, it ends as misuse; stepped to
  // its end it ends as done, into an error as misuse; on a further row (or
  // untouched) it goes on from there.
  static int after_callback(const walk& w) {
    const made_object* made = w.made;
    if (made == nullptr) return kAnyResult;
    if (made->sql < 0) return 0;
    if (made->generation != w.generation) return kMisuse;
    if (made->ended) return made->failed ? kMisuse : kDone;
    return kAnyResult;
  }

  // Returns whether the callback goes on. Each row is checked against the
  // model: the walk delivers rows of the statement it started with, in the
  // run it started in, and no more than that statement has.
  bool on_row(const handle& object, const handle& self, unsigned long index, walk& w, int depth) {
    check(self.get() == object.get(), "the callback got another object");
    check(index == w.calls, "row indices do not count 0, 1, 2, ...");
    ++w.calls;
    check(w.expect == kAnyResult, "the walk went on after its callback had ended it");
    made_object* made = w.made;
    if (made != nullptr) {
      check(made->sql >= 0, "a row delivered without a statement");
      check(made->generation == w.generation, "the walk went on with a statement reset or replaced in its callback");
      check(!made->ended, "the walk started its statement over");
      made->row();
    }
    read_column(self, in_.choose(kColumns), static_cast<int>(in_.pick(8)));
    if (index != w.at) return true;
    switch (w.kind) {
      case kStopAt:
        w.expect = kRow;
        return false;
      case kFinalizeAt:
        kel_sqlite_finalize(self);
        if (made != nullptr) made->no_statement();
        break;
      case kFinalizeAndStopAt:
        kel_sqlite_finalize(self);
        if (made != nullptr) made->no_statement();
        w.expect = kRow;
        return false;
      case kThrowAt:
        throw callback_thrown();
      case kCloseAt:
        kel_sqlite_close(self);
        if (made != nullptr) made->no_statement();
        check_locks();
        break;
      case kResetAt:
        kel_sqlite_reset(self);
        if (made != nullptr) made->rewound();
        break;
      case kNestAt:
        // The inner walk keeps the model; its end is the outer walk's.
        if (depth < 2) rows_each(self, depth + 1);
        break;
      case kKeepHandleAt:
        slot() = self;
        break;
      case kPrepareAt:
        // A statement is in progress: refused, and the iteration goes on.
        check(kel_sqlite_prepare(self, "SELECT 1") == -1, "prepare over the statement being iterated");
        break;
      case kStepAt: {
        // Taking rows in pairs.
        const int rc = kel_sqlite_step(self);
        if (made != nullptr) made->stepped(rc);
        break;
      }
      case kStepToEndAt: {
        int rc;
        do {
          rc = kel_sqlite_step(self);
          if (made != nullptr) made->stepped(rc);  // more rows than the statement has: a finding
        } while (rc == kRow);
        break;
      }
      case kReplaceAt: {
        // Another statement, maybe at the address of the one finalized.
        const int replacement = in_.choose(kReplacements);
        kel_sqlite_finalize(self);
        check(kel_sqlite_prepare(self, kSql[replacement]) == kOk, "a query prepared in a row callback");
        if (made != nullptr) made->prepared(replacement);
        break;
      }
      default:
        break;
    }
    w.expect = after_callback(w);
    return true;
  }

  int rows_each(const handle& object, int depth) {
    bool threw = false;
    return rows_each(object, depth, threw);
  }

  int rows_each(const handle& object, int depth, bool& threw) {
    walk w{model(object), 0, static_cast<callback_kind>(in_.pick(kCallbackKinds)), in_.pick(6)};
    const bool with_counter = in_.next() & 1;
    if (w.made != nullptr && w.made->sql >= 0 && w.made->ended) w.made->rewound();  // its first step starts it over
    if (w.made != nullptr) w.generation = w.made->generation;
    kel_sqlite_row_callback callback;
    if (w.kind != kEmpty) {
      callback = [this, object, &w, depth](handle self, unsigned long index) {
        return on_row(object, self, index, w, depth);
      };
    }
    constexpr unsigned long kUntouched = 0xdeadbeef;
    unsigned long count = kUntouched;
    int rc = 0;
    threw = false;
    try {
      rc = with_counter ? kel_sqlite_rows_each(object, count, callback) : kel_sqlite_rows_each(object, callback);
    } catch (const callback_thrown&) {
      check(w.kind == kThrowAt, "a callback exception from nowhere");
      threw = true;
    } catch (const std::bad_function_call&) {
      check(w.kind == kEmpty, "bad_function_call with a callback");
      threw = true;
    }
    if (!object) {
      check(rc == -1 && !threw && w.calls == 0, "rows_each on an empty handle");
      if (with_counter) check(count == kUntouched, "rows_each on an empty handle touched the counter");
      return rc;
    }
    made_object* made = w.made;
    if (threw) {
      // An empty callback throws at a row that the walk's step delivered.
      if (w.kind == kEmpty && made != nullptr) made->row();
    } else if (w.expect != kAnyResult) {
      check(rc == w.expect, "the walk's result is not the one its callback's action calls for");
    } else if (made != nullptr) {
      if (rc == kDone) {
        check(made->sql >= 0, "a walk done without a statement");
        made->done();
      } else if (rc == 0) {
        check(made->sql < 0, "a walk gave 0 although the object has a statement");
      } else {
        // A failed step, answered by the reset that rewound the statement.
        check(rc != kRow && rc != -1 && rc != kMisuse, "an unexpected walk result");
        check(made->sql >= 0, "a step failed without a statement");
        made->rewound();
      }
    }
    if (made != nullptr) check_statement(object);
    if (with_counter) {
      // The counter includes a row whose callback threw, also an empty one.
      const unsigned long delivered = w.kind == kEmpty ? (threw ? 1 : 0) : w.calls;
      check(count == delivered, "the row counter differs from the rows delivered");
      if (!threw && rc == kRow) check(count > 0, "stopped at a row without delivering one");
    }
    return rc;
  }

  void lookup() {
    const std::string name = in_.choose(kNames);
    handle& target = slot();
    handle found;
    // On the service thread, where release jobs close objects: a lookup never
    // overlaps the release of the object it finds.
    on_service([&found, name] { found = kel_database_get_sqlite(name); });
    if (found) {
      check(kel_sqlite_get_name(found) == name, "lookup found an object of another name");
      check(record(found) != nullptr, "lookup found an object this input did not make");
      check(kel_sqlite_is_opened(found), "lookup found an object that is not open");
      record(found)->no_statement();  // handed out with its statement finalized
      check_statement(found);
    }
    target = found;
  }

  void destroy() {
    const handle object = slot();
    const std::string file = in_.choose(kFiles);
    const int line = in_.choose(kOddInts);
    // Safe on any thread, also while a release of the object is pending.
    check(kel_sqlite_destroy(object, file, line) == static_cast<bool>(object), "destroy result");
    if (!object) return;
    made_object* made = record(object);
    check(made != nullptr, "destroyed an object this input did not make");
    made->destroyed = true;
    releasing_.insert(object.get());
    // Whatever the mark held, a mark there is now reads as destroyed.
    const boost::shared_ptr<_kel_object> base = kel_sqlite_to_object(object);
    std::lock_guard<std::mutex> lock(base->mutex);
    const auto found = base->properties.find("object-destroyed");
    if (found != base->properties.end()) {
      const bool* mark = boost::any_cast<bool>(&found->second);
      check(mark != nullptr && *mark, "a destroyed object's mark does not read as destroyed");
    }
  }

  // The property map is the framework's and public: a program may put
  // anything under "object-destroyed", or take it away.
  void mark() {
    const handle object = slot();
    const int kind = static_cast<int>(in_.pick(4));
    if (!object) return;
    const boost::shared_ptr<_kel_object> base = kel_sqlite_to_object(object);
    std::lock_guard<std::mutex> lock(base->mutex);
    switch (kind) {
      case 0:
        base->properties["object-destroyed"] = std::string("yes");
        break;
      case 1:
        base->properties["object-destroyed"] = 1;
        break;
      case 2:
        base->properties.erase("object-destroyed");
        break;
      default:
        base->properties["object-destroyed"] = boost::any();
        break;
    }
  }

  void run_once() {
    if (in_.next() & 1) {
      (void)kel_database_run_once();
    } else {
      // Nested on the service thread: queued release jobs may run inside.
      on_service([] {
        for (int i = 0; i < 8 && kel_database_run_once() > 0; ++i) {
        }
      });
    }
  }

  void convert() {
    const handle object = slot();
    handle& target = slot();
    switch (in_.pick(3)) {
      case 0: {
        const boost::shared_ptr<_kel_object> base = kel_sqlite_to_object(object);
        check(static_cast<bool>(base) == static_cast<bool>(object), "to_object");
        check(kel_is_sqlite(base) == static_cast<bool>(object), "kel_is_sqlite");
        const handle back = kel_sqlite_from_object(base);
        check(back == object, "from_object(to_object(x)) is not x");
        target = back;
        break;
      }
      case 1: {
        // A framework object of another class is no Connection object.
        const auto other = boost::make_shared<_kel_object>();
        check(!kel_is_sqlite(other) && !kel_sqlite_from_object(other), "another class taken for a connection");
        break;
      }
      default:
        check(!kel_sqlite_from_object(boost::shared_ptr<_kel_object>()), "from_object of an empty pointer");
        break;
    }
  }

  // Every object made by the input is destroyed and released, then freed.
  // Then the shutdown returns, the service having stopped once every object
  // was released; a new service serves the next input.
  void finish() {
    drain();
    for (auto& made : made_) {
      kel_sqlite_destroy(made.strong, "fuzz-cleanup", 0);
      releasing_.insert(made.strong.get());
    }
    drain();
    shutdown();
    kel_database_init();
    for (auto& object : slots_) object.reset();
    for (auto& made : made_) made.strong.reset();
    for (auto& made : made_) {
      if (!made.weak.expired()) finding("a Connection object outlived its destroy and release (leak)");
    }
  }

  static void shutdown() {
    // Returns once every object is released; one that never returns is a
    // hang, which libFuzzer's -timeout reports as a finding with its input.
    kel_system_shutdown();
    check(kel_system_running_services() == 0, "a service still runs after the shutdown");
  }

  bytes in_;
  const std::string pool_;  // bind data; outlives every object of the input
  std::array<handle, kSlots> slots_;
  std::vector<made_object> made_;
  std::set<const _kel_sqlite*> releasing_;  // destroyed, release not yet known to have run
};

}  // namespace

// The program's own assertion routine, in place of the runtime's: failed
// checks are expected by the million here and need not be printed.
void kel_assertion_faild(bool, std::string, std::string, std::string, int) {}

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Every connection of the previous input is closed: start from no files.
  empty_dir();
  driver(data, size).run();
  return 0;
}
