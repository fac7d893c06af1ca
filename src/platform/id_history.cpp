#include "platform/id_history.hpp"

#include "platform/lmdb_file_check.hpp"

#include <fcntl.h>
#include <lmdb.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace quillmar::platform {

namespace {

// The room the history may take (a sparse file: only what is used is on
// disk); some ten million identifiers.
constexpr std::size_t kMapSize = std::size_t{1} << 30;
// LMDB's largest key; longer identifiers are not kept.
constexpr std::size_t kMaxId = 400;

// Failures of our own, beside LMDB's codes (which are below -30000) and the
// system's (positive).
constexpr int kFault = -1;                  // a signal from the mapped file
constexpr int kAssertion = -2;              // LMDB found its own state broken
constexpr int kBadFile = kLmdbFileDamaged;  // the file failed the check before LMDB
constexpr int kEndlessRun = -4;             // a walk that does not end

// --- The guard around every touch of the mapped file ---

// The place a fault in a guarded call of this thread goes back to.
thread_local sigjmp_buf* t_guard = nullptr;
// The handlers before ours, and how many open histories need ours.
struct sigaction g_before[2];
int g_guarded_histories = 0;
constexpr int kSignals[2] = {SIGBUS, SIGSEGV};

void on_fault(int signal, siginfo_t*, void*) {
  if (t_guard != nullptr) {
    sigjmp_buf* back = t_guard;
    t_guard = nullptr;
    siglongjmp(*back, kFault);
  }
  // Not a fault of the history: the handler before takes it when the
  // instruction faults again.
  ::sigaction(signal, &g_before[signal == SIGBUS ? 0 : 1], nullptr);
}

void on_assert(MDB_env*, const char*) {
  if (t_guard != nullptr) {
    sigjmp_buf* back = t_guard;
    t_guard = nullptr;
    siglongjmp(*back, kAssertion);
  }
}

bool install_guards() {
  if (g_guarded_histories++ > 0) return true;
  struct sigaction action {};
  action.sa_sigaction = on_fault;
  // SA_NODEFER: the signal stays unblocked after the jump out of the
  // handler (the jump does not restore the mask, which costs a call).
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &action, &g_before[i]);
  return true;
}

void remove_guards() {
  if (--g_guarded_histories > 0) return;
  for (int i = 0; i < 2; ++i) ::sigaction(kSignals[i], &g_before[i], nullptr);
}

// Runs `work` (which returns an LMDB code) so that a fault or an assertion
// of LMDB within it returns kFault or kAssertion instead. `work` may keep
// nothing with a destructor of its own (a jump out of it skips them).
template <typename Work>
int guarded(Work&& work) {
  sigjmp_buf here;
  sigjmp_buf* outer = t_guard;
  int jumped = sigsetjmp(here, 0);
  if (jumped != 0) {
    t_guard = outer;
    return jumped;
  }
  t_guard = &here;
  int rc = work();
  t_guard = outer;
  return rc;
}

// Runs `body` (which returns an LMDB code) in a write transaction of `env`,
// committed when it returns 0 and aborted otherwise. The transaction is in
// `open_write` while it runs, for the close after a fault within it.
template <typename Body>
int in_write_transaction(MDB_env* env, void*& open_write, Body&& body) {
  MDB_txn* txn = nullptr;
  int r = mdb_txn_begin(env, nullptr, 0, &txn);
  if (r != 0) return r;
  open_write = txn;
  r = body(txn);
  if (r == 0) {
    r = mdb_txn_commit(txn);
  } else {
    mdb_txn_abort(txn);
  }
  open_write = nullptr;
  return r;
}

bool is_damage(int rc) {
  return rc == kFault || rc == kAssertion || rc == kBadFile || rc == kEndlessRun ||
         (rc >= MDB_KEYEXIST && rc <= MDB_LAST_ERRCODE);
}

std::string text_of(int rc) {
  switch (rc) {
    case kFault:
      return "a page of the file cannot be read (a fault on the mapped file)";
    case kAssertion:
      return "LMDB found the file inconsistent";
    case kEndlessRun:
      return "the index by time does not end";
    default:
      return mdb_strerror(rc);
  }
}

MDB_env* env_of(void* p) {
  return static_cast<MDB_env*>(p);
}

MDB_txn* txn_of(void* p) {
  return static_cast<MDB_txn*>(p);
}

MDB_val value_of(std::string_view text) {
  return MDB_val{text.size(), const_cast<char*>(text.data())};
}

// The key of the index by time: 8 bytes of time, big-endian, then the id.
std::size_t time_key(char* key, int64_t when, std::string_view id) {
  uint64_t t = static_cast<uint64_t>(when);
  for (int i = 7; i >= 0; --i, t >>= 8) key[i] = static_cast<char>(t);
  std::memcpy(key + 8, id.data(), id.size());
  return 8 + id.size();
}

int64_t time_of(const MDB_val& key) {
  uint64_t t = 0;
  const unsigned char* p = static_cast<const unsigned char*>(key.mv_data);
  for (std::size_t i = 0; i < 8 && i < key.mv_size; ++i) t = (t << 8) | p[i];
  return static_cast<int64_t>(t);
}

}  // namespace

IdHistory::~IdHistory() {
  close();
}

bool IdHistory::open(std::string_view path, std::string& error) {
  close();
  failure_.clear();
  damaged_ = false;
  std::string name(path);
  // LMDB trusts the file's pages: a page beyond the end is a bus error
  // when touched, and a write into a scribbled page's copy moves bytes
  // outside it (no guard catches that). So every page of the trees is
  // checked before the file is mapped; the guards are for what the check
  // cannot see.
  int rc = check_lmdb_file(name, true, error);
  if (rc != 0) {
    damaged_ = rc == kBadFile;
    return false;
  }
  guards_ = install_guards();
  MDB_env* env = nullptr;
  rc = mdb_env_create(&env);
  env_ = env;
  if (rc == 0) rc = mdb_env_set_assert(env, on_assert);
  if (rc == 0) rc = mdb_env_set_mapsize(env, kMapSize);
  if (rc == 0) rc = mdb_env_set_maxdbs(env, 2);
  const char* file = name.c_str();
  if (rc == 0) {
    rc = guarded([&] { return mdb_env_open(env, file, MDB_NOSUBDIR | MDB_NOTLS, 0644); });
  }
  // The trees are looked at in a read first: their first and last entries,
  // a walk from each root to its ends, which finds most damage before the
  // history is relied on (and a fault in a read is the safest to recover
  // from).
  MDB_dbi by_id = 0, by_time = 0;
  bool made = true;
  if (rc == 0) {
    rc = guarded([&] {
      MDB_txn* txn = nullptr;
      int r = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
      if (r != 0) return r;
      read_ = txn;
      MDB_dbi* dbs[2] = {&by_id, &by_time};
      const char* names[2] = {"id", "time"};
      for (int i = 0; i < 2 && r == 0; ++i) {
        r = mdb_dbi_open(txn, names[i], 0, dbs[i]);
        if (r == MDB_NOTFOUND) {
          made = false;
          r = 0;
          continue;
        }
        MDB_cursor* cursor = nullptr;
        if (r == 0) r = mdb_cursor_open(txn, *dbs[i], &cursor);
        cursor_ = cursor;
        MDB_val key{}, data{};
        for (MDB_cursor_op op : {MDB_FIRST, MDB_LAST}) {
          if (r == 0) r = mdb_cursor_get(cursor, &key, &data, op);
          if (r == MDB_NOTFOUND) r = 0;
        }
        cursor_ = nullptr;
        if (cursor != nullptr) mdb_cursor_close(cursor);
      }
      read_ = nullptr;
      // A read's end keeps the trees' handles for the history's time.
      if (r == 0) return mdb_txn_commit(txn);
      mdb_txn_abort(txn);
      return r;
    });
  }
  if (rc == 0 && !made) {
    rc = guarded([&] {
      return in_write_transaction(env, write_, [&](MDB_txn* txn) {
        int r = mdb_dbi_open(txn, "id", MDB_CREATE, &by_id);
        if (r == 0) r = mdb_dbi_open(txn, "time", MDB_CREATE, &by_time);
        return r;
      });
    });
  }
  by_id_ = by_id;
  by_time_ = by_time;
  if (rc != 0) {
    error = fail(rc);
    close();
    return false;
  }
  return true;
}

const std::string& IdHistory::fail(int rc, const std::string& why) {
  failure_ = rc == kBadFile ? why : text_of(rc);
  damaged_ = is_damage(rc);
  if (rc == kFault || rc == kAssertion) {
    abandon();
  } else if (damaged_) {
    close();
  }
  return failure_;
}

void IdHistory::abandon() {
  // A read's state is LMDB's own memory, not the mapped file's: it can be
  // given back (a second fault leaves it be).
  if (cursor_ != nullptr) {
    MDB_cursor* cursor = static_cast<MDB_cursor*>(cursor_);
    cursor_ = nullptr;
    guarded([&] {
      mdb_cursor_close(cursor);
      return 0;
    });
  }
  if (read_ != nullptr) {
    MDB_txn* txn = txn_of(read_);
    read_ = nullptr;
    guarded([&] {
      mdb_txn_abort(txn);
      return 0;
    });
  }
  // A write broken off may leave LMDB's lists pointing anywhere (into the
  // stack among others): its environment is never touched again, not even
  // closed, and kept where it is not taken for a leak.
  if (write_ != nullptr) {
    static std::vector<void*>* parked = new std::vector<void*>;
    parked->push_back(env_);
    env_ = nullptr;
    write_ = nullptr;
  }
  close();
}

bool IdHistory::contains(std::string_view id, int64_t since) {
  if (env_ == nullptr || id.empty() || id.size() > kMaxId) return false;
  MDB_env* env = env_of(env_);
  MDB_dbi db = by_id_;
  bool found = false;
  int rc = guarded([&] {
    int r = 0;
    if (read_ == nullptr) {
      MDB_txn* txn = nullptr;
      r = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
      if (r != 0) return r;
      read_ = txn;
    }
    MDB_val key = value_of(id), data{};
    r = mdb_get(txn_of(read_), db, &key, &data);
    if (r == 0 && data.mv_size == 8) found = time_of(data) >= since;
    return r == MDB_NOTFOUND ? 0 : r;
  });
  if (rc != 0) {
    fail(rc);
    return false;
  }
  return found;
}

void IdHistory::end_read() {
  if (read_ == nullptr) return;
  MDB_txn* txn = txn_of(read_);
  read_ = nullptr;
  guarded([&] {
    mdb_txn_abort(txn);
    return 0;
  });
}

bool IdHistory::add_and_expire(const std::vector<std::string>& ids, int64_t when,
                               int64_t expire_before, std::string& error) {
  if (env_ == nullptr) {
    error = "not open";
    return false;
  }
  end_read();
  MDB_env* env = env_of(env_);
  MDB_dbi by_id = by_id_, by_time = by_time_;
  char stamp_key[8 + kMaxId];
  char old_key[8 + kMaxId];
  // The write's look-ups made in a read first: a fault is recovered from
  // best there, and the write then follows the paths the read took.
  int rc = guarded([&] {
    MDB_txn* txn = nullptr;
    int r = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
    if (r != 0) return r;
    read_ = txn;
    MDB_cursor* cursor = nullptr;
    r = mdb_cursor_open(txn, by_time, &cursor);
    cursor_ = cursor;
    MDB_val key{}, data{};
    for (MDB_cursor_op op = MDB_FIRST; r == 0; op = MDB_NEXT) {
      r = mdb_cursor_get(cursor, &key, &data, op);
      if (r != 0 || time_of(key) >= expire_before || key.mv_size < 8) break;
      MDB_val id{key.mv_size - 8, static_cast<char*>(key.mv_data) + 8};
      r = mdb_get(txn, by_id, &id, &data);
      if (r == MDB_NOTFOUND) r = 0;
    }
    cursor_ = nullptr;
    if (cursor != nullptr) mdb_cursor_close(cursor);
    if (r == MDB_NOTFOUND) r = 0;
    for (const std::string& id : ids) {
      if (r != 0) break;
      if (id.empty() || id.size() > kMaxId) continue;
      key = value_of(id);
      r = mdb_get(txn, by_id, &key, &data);
      if (r == 0 && data.mv_size == 8) {
        std::memcpy(old_key, data.mv_data, 8);
        std::memcpy(old_key + 8, id.data(), id.size());
        MDB_val k{8 + id.size(), old_key};
        r = mdb_get(txn, by_time, &k, &data);
      }
      if (r == MDB_NOTFOUND) r = 0;
    }
    read_ = nullptr;
    mdb_txn_abort(txn);
    return r;
  });
  if (rc == 0)
    rc = guarded([&] {
      return in_write_transaction(env, write_, [&](MDB_txn* txn) {
        // Expired entries go first, oldest first, through the index by time;
        // a walk longer than the index is damage.
        MDB_stat st{};
        int r = mdb_stat(txn, by_time, &st);
        MDB_cursor* cursor = nullptr;
        if (r == 0) r = mdb_cursor_open(txn, by_time, &cursor);
        for (std::size_t walked = 0; r == 0; ++walked) {
          MDB_val key{}, data{};
          r = mdb_cursor_get(cursor, &key, &data, MDB_FIRST);
          if (r == MDB_NOTFOUND) {
            r = 0;
            break;
          }
          if (r != 0 || time_of(key) >= expire_before) break;
          if (walked > st.ms_entries || key.mv_size < 8) {
            r = kEndlessRun;
            break;
          }
          MDB_val id{key.mv_size - 8, static_cast<char*>(key.mv_data) + 8};
          MDB_val stamp{};
          // The id's entry goes only when it is this old entry's (an id taken
          // again later has a newer one).
          int got = mdb_get(txn, by_id, &id, &stamp);
          if (got == 0 && stamp.mv_size == 8 && std::memcmp(stamp.mv_data, key.mv_data, 8) == 0) {
            r = mdb_del(txn, by_id, &id, nullptr);
          } else if (got != 0 && got != MDB_NOTFOUND) {
            r = got;
          }
          if (r == 0) r = mdb_cursor_del(cursor, 0);
        }
        if (cursor != nullptr) mdb_cursor_close(cursor);
        for (const std::string& id : ids) {
          if (r != 0) break;
          if (id.empty() || id.size() > kMaxId) continue;
          MDB_val key = value_of(id);
          MDB_val old{};
          int got = mdb_get(txn, by_id, &key, &old);
          if (got == 0 && old.mv_size == 8) {
            // Taken before: its old place in the index by time goes.
            std::memcpy(old_key, old.mv_data, 8);
            std::memcpy(old_key + 8, id.data(), id.size());
            MDB_val k{8 + id.size(), old_key};
            int del = mdb_del(txn, by_time, &k, nullptr);
            if (del != 0 && del != MDB_NOTFOUND) r = del;
          } else if (got != 0 && got != MDB_NOTFOUND) {
            r = got;
          }
          std::size_t length = time_key(stamp_key, when, id);
          MDB_val stamp{8, stamp_key};
          if (r == 0) r = mdb_put(txn, by_id, &key, &stamp, 0);
          MDB_val tkey{length, stamp_key}, empty{0, nullptr};
          if (r == 0) r = mdb_put(txn, by_time, &tkey, &empty, 0);
        }
        return r;
      });
    });
  if (rc != 0) error = fail(rc);
  return rc == 0;
}

std::size_t IdHistory::size() {
  if (env_ == nullptr) return 0;
  MDB_env* env = env_of(env_);
  MDB_dbi db = by_id_;
  std::size_t n = 0;
  int rc = guarded([&] {
    if (read_ == nullptr) {
      MDB_txn* txn = nullptr;
      int r = mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
      if (r != 0) return r;
      read_ = txn;
    }
    MDB_stat st{};
    int r = mdb_stat(txn_of(read_), db, &st);
    if (r == 0) n = st.ms_entries;
    return r;
  });
  if (rc != 0) fail(rc);
  return n;
}

void IdHistory::close() {
  end_read();
  if (env_ != nullptr) {
    MDB_env* env = env_of(env_);
    env_ = nullptr;
    guarded([&] {
      mdb_env_close(env);
      return 0;
    });
  }
  if (guards_) remove_guards();
  guards_ = false;
}

}  // namespace quillmar::platform
