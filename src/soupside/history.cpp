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

// Opens the history; a damaged file is set aside once and a new one made.
bool open_history(platform::IdHistory& db) {
  std::string path = history_path();
  std::string error;
  if (db.open(path, error)) return true;
  bool damaged = error.find("MDB_INVALID") != std::string::npos ||
                 error.find("MDB_CORRUPTED") != std::string::npos ||
                 error.find("MDB_VERSION_MISMATCH") != std::string::npos ||
                 error.find("MDB_PAGE_NOTFOUND") != std::string::npos;
  if (damaged) {
    std::string aside = path_in(settings->SoupDir.view(), kHistoryAside);
    platform::remove_file(aside);
    if (platform::rename_file(path, aside)) {
      platform::remove_file(path + "-lock");
      log_print("! the history %s is damaged (%s); set aside as %s, a new one is started\n",
                path.c_str(), error.c_str(), aside.c_str());
      if (db.open(path, error)) return true;
    }
  }
  log_print("! the history %s cannot be used (%s); articles may be fetched twice\n", path.c_str(),
            error.c_str());
  return false;
}

}  // namespace

void CollectHistory::open() {
  uint32_t days = settings->soup_side.SoupHistoryDays;
  if (days == 0) return;
  since_ = static_cast<int64_t>(platform::now()) - static_cast<int64_t>(days) * 86400;
  open_history(db_);
}

bool CollectHistory::seen(std::string_view id) {
  return run_.find(id) != run_.end() || db_.contains(id, since_);
}

void CollectHistory::note(std::string_view id) {
  run_.emplace(id);
}

bool record_history(const std::vector<std::string>& ids) {
  uint32_t days = settings->soup_side.SoupHistoryDays;
  if (days == 0) return true;
  platform::IdHistory db;
  if (!open_history(db)) return false;
  int64_t now = static_cast<int64_t>(platform::now());
  std::string error;
  if (!db.add_and_expire(ids, now, now - static_cast<int64_t>(days) * 86400, error)) {
    log_print("! the history %s cannot be written (%s); articles may be fetched twice\n",
              history_path().c_str(), error.c_str());
    return false;
  }
  return true;
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
