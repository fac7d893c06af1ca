#include "soupside/history.hpp"

#include "base/log.hpp"
#include "config/settings.hpp"
#include "platform/clock.hpp"
#include "platform/fs.hpp"
#include "soupside/durable.hpp"
#include "soupside/soupside_files.hpp"

namespace quillmar {

namespace {

std::string history_path() {
  return path_in(settings->SoupDir.view(), kHistoryFile);
}

// Sets the damaged history aside as HISTORY.BAD (the one set aside before
// goes), with its lock file removed, so that a new one can be started; says
// so. False when it cannot be moved.
bool set_aside(const std::string& path, const std::string& why) {
  std::string aside = path_in(settings->SoupDir.view(), kHistoryAside);
  platform::remove_file(aside);
  if (!platform::rename_file(path, aside)) {
    log_print("! the history %s is damaged (%s) and cannot be set aside as %s: %s\n", path.c_str(),
              why.c_str(), aside.c_str(), platform::last_error_text());
    return false;
  }
  platform::remove_file(path + "-lock");
  log_print("! the history %s is damaged (%s); set aside as %s, a new one is started\n",
            path.c_str(), why.c_str(), aside.c_str());
  return true;
}

// Opens the history; a damaged file is set aside once and a new one made
// (`replaced` then says so).
bool open_history(platform::IdHistory& db, bool* replaced) {
  std::string path = history_path();
  std::string error;
  if (db.open(path, error)) return true;
  if (db.damaged() && set_aside(path, error)) {
    if (replaced != nullptr) *replaced = true;
    if (db.open(path, error)) return true;
  }
  log_print("! the history %s cannot be used (%s); articles may be fetched twice\n", path.c_str(),
            error.c_str());
  return false;
}

bool open_history(platform::IdHistory& db) {
  return open_history(db, nullptr);
}

}  // namespace

void CollectHistory::open() {
  uint32_t days = settings->soup_side.SoupHistoryDays;
  if (days == 0) return;
  since_ = static_cast<int64_t>(platform::now()) - static_cast<int64_t>(days) * 86400;
  bool replaced = false;
  if (!open_history(db_, &replaced) || replaced) lost_ = true;
}

bool CollectHistory::empty() {
  if (!run_.empty()) return false;
  if (!db_.is_open()) return true;
  std::size_t size = db_.size();
  if (!db_.failure().empty()) look_up_failed();
  return size == 0;
}

bool CollectHistory::seen(std::string_view id) {
  if (run_.find(id) != run_.end()) return true;
  if (!db_.is_open()) return false;
  bool found = db_.contains(id, since_);
  if (!db_.failure().empty()) look_up_failed();
  return found;
}

void CollectHistory::look_up_failed() {
  std::string path = history_path();
  if (db_.damaged()) {
    // Closed already: set aside, and the run goes on with a new one.
    lost_ = true;
    std::string why = db_.failure();
    std::string error;
    if (!set_aside(path, why) || !db_.open(path, error)) {
      db_.close();
      log_print("! the history %s cannot be used (%s); articles may be fetched twice\n",
                path.c_str(), error.empty() ? why.c_str() : error.c_str());
    }
    return;
  }
  if (!failure_said_) {
    log_print("! the history %s cannot be read (%s); articles may be fetched twice\n", path.c_str(),
              db_.failure().c_str());
    failure_said_ = true;
  }
}

void CollectHistory::note(std::string_view id) {
  run_.emplace(id);
  if (lost_) ++unchecked_;
}

void CollectHistory::close() {
  db_.close();
  if (unchecked_ != 0) {
    log_print(
        "! %ld message(s) taken without the history to check them against; any of them may "
        "have come before\n",
        unchecked_);
  }
  unchecked_ = 0;
}

bool record_history(const std::vector<std::string>& ids) {
  uint32_t days = settings->soup_side.SoupHistoryDays;
  if (days == 0) return true;
  platform::IdHistory db;
  std::string path = history_path();
  int64_t now = static_cast<int64_t>(platform::now());
  int64_t expire_before = now - static_cast<int64_t>(days) * 86400;
  std::string error;
  bool opened = open_history(db);
  bool written = opened && db.add_and_expire(ids, now, expire_before, error);
  // Found damaged while written: the Message-IDs go into a new one.
  if (!written && opened && db.damaged() && set_aside(path, error) && db.open(path, error)) {
    written = db.add_and_expire(ids, now, expire_before, error);
  }
  if (!written && opened) {
    log_print(
        "! the history %s cannot be written (%s); %zu Message-ID(s) are not in it, and those "
        "articles may be fetched twice\n",
        path.c_str(), error.c_str(), ids.size());
  } else if (!written) {
    log_print("! %zu Message-ID(s) are not in the history; those articles may be fetched twice\n",
              ids.size());
  }
  return written;
}

bool SentHistory::add(std::string_view id, std::string& error) {
  uint32_t days = settings->soup_side.SoupHistoryDays;
  if (days == 0) return true;
  if (failure_.empty() && !db_.is_open() && !open_history(db_)) {
    failure_ = "the history " + history_path() + " cannot be used";
  }
  if (!failure_.empty()) {
    error = failure_;
    return false;
  }
  int64_t now = static_cast<int64_t>(platform::now());
  std::string why;
  if (!db_.add_and_expire({std::string(id)}, now, now - static_cast<int64_t>(days) * 86400, why)) {
    failure_ = "the history " + history_path() + " cannot be written (" + why + ")";
    error = failure_;
    return false;
  }
  return true;
}

}  // namespace quillmar
