#include "soupside/maildir.hpp"

#include <algorithm>

#include "base/log.hpp"
#include "config/settings.hpp"
#include "platform/fs.hpp"
#include "soupside/durable.hpp"
#include "soupside/header_field.hpp"
#include "soupside/soupside_files.hpp"

namespace quillmar {

namespace {

// The largest register read.
constexpr std::size_t kMaxRegister = 16u << 20;

std::string register_path() {
  return path_in(settings->SoupDir.view(), kMaildirRegister);
}

std::string base_name(std::string_view path) {
  std::size_t sep = path.find_last_of("\\/");
  return std::string(sep == std::string_view::npos ? path : path.substr(sep + 1));
}

const char* kind_word(MaildirRegister::Kind kind) {
  return kind == MaildirRegister::Kind::taken ? "taken" : "unread";
}

// The file as it is now, as one word; empty when it cannot be looked at.
std::string identity_of(const std::string& path) {
  platform::FileIdentity id;
  if (!platform::file_identity(path, id)) return std::string();
  return std::to_string(id.device) + ":" + std::to_string(id.inode) + ":" +
         std::to_string(id.size) + ":" + std::to_string(id.modified_ns) + ":" +
         std::to_string(id.born_ns);
}

}  // namespace

std::string maildir_problem(std::string_view dir, bool& missing) {
  missing = false;
  for (const char* sub : {"", "new", "cur"}) {
    std::string path = path_in(dir, sub);
    if (path.empty()) return "the name is too long";
    while (path.size() > 1 && platform::is_separator(path.back())) path.pop_back();
    if (!platform::file_exists(path)) {
      missing = true;
      return shown(path);
    }
    std::string problem = platform::directory_problem(path);
    if (!problem.empty()) return shown(path) + ": " + problem;
  }
  return std::string();
}

bool is_list_copy(std::string_view message) {
  for (const char* field : {"List-Id", "List-Post", "Mailing-List"}) {
    if (!header_value(message, field).empty()) return true;
  }
  return false;
}

namespace {

bool move_or_remove(const std::string& source, std::string& why) {
  const PathText& done = settings->soup_side.SoupMaildirDone;
  if (done.empty()) {
    if (platform::remove_exact(source)) return true;
    why = std::string("cannot remove it: ") + platform::last_error_text();
    return false;
  }
  std::string name = base_name(source);
  std::size_t info = name.find(":2,");
  std::string unique = info == std::string::npos ? name : name.substr(0, info);
  std::string flags = info == std::string::npos ? ":2,S" : name.substr(info);
  // A name taken in the keeping Maildir (another message of that name) gets
  // a number, so that neither message is lost.
  why = "no free name";
  for (int n = 0; n < 100; ++n) {
    std::string name = "cur/" + unique;
    if (n > 0) name.append(1, '.').append(std::to_string(n));
    name.append(flags);
    std::string target = path_in(done.view(), name);
    if (target.empty()) {
      why = "the name is too long";
      break;
    }
    if (platform::exists_exact(target)) continue;
    if (platform::rename_exact(source, target)) {
      if (platform::sync_directory_of(target)) return true;
      why = platform::last_error_text();
      break;
    }
    why = platform::last_error_text();
    break;
  }
  why = "cannot move it to " + shown(done.view()) + "cur/: " + why;
  return false;
}

}  // namespace

Disposal dispose_of_mail(const std::string& source, std::string& why) {
  if (!platform::exists_exact(source) || move_or_remove(source, why)) return Disposal::done;
  return platform::may_remove_entry(source) ? Disposal::failed : Disposal::stuck;
}

bool MaildirRegister::load() {
  loaded_.clear();
  entries_.clear();
  std::string text;
  ReadResult r = read_whole_file(register_path(), kMaxRegister, text);
  if (r == ReadResult::error) {
    log_print("! cannot read %s: %s\n", register_path().c_str(), platform::last_error_text());
    return false;
  }
  // "kind TAB identity TAB path"; a line cut by a crash says nothing.
  for (std::string_view line : text_lines(text, true)) {
    std::size_t tab1 = line.find('\t');
    std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos) continue;
    std::string_view kind = line.substr(0, tab1);
    Entry e;
    e.kind = kind == "taken" ? Kind::taken : kind == "unread" ? Kind::unread : Kind::none;
    if (e.kind == Kind::none) continue;
    e.identity = std::string(line.substr(tab1 + 1, tab2 - tab1 - 1));
    e.path = std::string(line.substr(tab2 + 1));
    loaded_.push_back(e);
  }
  entries_ = loaded_;
  return true;
}

MaildirRegister::Kind MaildirRegister::find(const std::string& path) const {
  for (const Entry& e : entries_) {
    if (e.path == path) return e.identity == identity_of(path) ? e.kind : Kind::none;
  }
  return Kind::none;
}

void MaildirRegister::keep(const std::string& path) {
  for (Entry& e : entries_) {
    if (e.path == path) e.wanted = true;
  }
}

bool MaildirRegister::note(const std::string& path, Kind kind) {
  std::string identity = identity_of(path);
  if (identity.empty()) return false;
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const Entry& e) { return e.path == path; }),
                 entries_.end());
  entries_.push_back(Entry{kind, identity, path, true});
  return true;
}

bool MaildirRegister::save() {
  if (prune_) {
    entries_.erase(
        std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return !e.wanted; }),
        entries_.end());
  }
  if (entries_ == loaded_) return true;
  std::string text;
  for (const Entry& e : entries_) {
    text += std::string(kind_word(e.kind)) + "\t" + e.identity + "\t" + e.path + "\n";
  }
  std::string path = register_path();
  bool ok = text.empty() ? remove_durably(path) : write_file_durably(path, text);
  if (ok) loaded_ = entries_;
  return ok;
}

}  // namespace quillmar
