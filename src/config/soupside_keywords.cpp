#include "config/soupside_keywords.hpp"

#include <cstdio>
#include <initializer_list>
#include <new>
#include <string>

#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "platform/fs.hpp"
#include "platform/permissions.hpp"

namespace quillmar {

namespace {

SoupSideSettings& side() {
  return settings->soup_side;
}

SettingLine line_of(const ConfigLine& at) {
  return SettingLine{std::string(at.keyword), std::string(at.value), std::string(at.path), at.line};
}

// A warning about the setting written on `at`, in the form of the reader's.
void warn_at(const SettingLine& at, const std::string& message) {
  ConfigLine{at.value, at.line, at.file, at.keyword}.warn(message.c_str());
}

// The server a line of its settings belongs to: the last one named, or the
// first one (named later) before any is named.
NntpServerSettings& server(const ConfigLine& at) {
  std::vector<NntpServerSettings>& servers = side().servers;
  if (servers.empty()) {
    servers.emplace_back();
    servers.back().first_at = line_of(at);
  }
  return servers.back();
}

void store_string(const ConfigLine& at, std::string& out) {
  try {
    out.assign(at.value);
  } catch (const std::bad_alloc&) {
    at.warn("out of memory");
  }
}

void store_path(const ConfigLine& at, PathText& out) {
  if (!out.assign(at.value)) {
    out.clear();
    at.warn("path too long");
  }
}

// A count of `minimum` or more: digits only (a sign is refused, so that
// "-5" is not taken as a huge number).
void parse_count(const ConfigLine& at, uint32_t minimum, uint32_t& out) {
  std::string_view v = at.value;
  uint64_t n = 0;
  bool ok = !v.empty() && v.size() <= 10;
  for (char c : v) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!ok || n > UINT32_MAX || n < minimum) {
    std::string message = "a whole number of " + std::to_string(minimum) + " or more is required";
    return at.warn(message.c_str());
  }
  out = static_cast<uint32_t>(n);
}

}  // namespace

void kw_soup_maildir(const ConfigLine& at) {
  parse_directory(at, at.value, side().SoupMaildir);
  side().maildir_at = line_of(at);
}
void kw_soup_maildir_done(const ConfigLine& at) {
  parse_directory(at, at.value, side().SoupMaildirDone);
}
void kw_soup_sendmail(const ConfigLine& at) {
  store_string(at, side().SoupSendmail);
  side().sendmail_at = line_of(at);
}
void kw_soup_refused_dir(const ConfigLine& at) {
  parse_directory(at, at.value, side().SoupRefusedDir);
}

void kw_nntp_server(const ConfigLine& at) {
  if (at.value.find_first_of(" \t") != std::string_view::npos) {
    return at.warn("NntpServer has invalid parameter");
  }
  std::vector<NntpServerSettings>& servers = side().servers;
  // The first NntpServer line names the server whose lines came before it.
  if (servers.empty() || !servers.back().NntpServer.empty()) {
    servers.emplace_back();
    servers.back().first_at = line_of(at);
  }
  store_string(at, servers.back().NntpServer);
}

void kw_nntp_post_server(const ConfigLine& at) {
  if (at.value.empty() || at.value.find_first_of(" \t") != std::string_view::npos) {
    return at.warn("NntpPostServer has invalid parameter");
  }
  store_string(at, side().NntpPostServer);
  side().post_server_at = line_of(at);
}

void kw_nntp_port(const ConfigLine& at) {
  parse_number16(at, at.value, server(at).NntpPort);
}

void kw_nntp_tls(const ConfigLine& at) {
  if (equals_nocase(at.value, "No")) {
    server(at).nntp_tls = NntpTls::none;
  } else if (equals_nocase(at.value, "StartTLS")) {
    server(at).nntp_tls = NntpTls::starttls;
  } else if (equals_nocase(at.value, "TLS")) {
    server(at).nntp_tls = NntpTls::tls;
  } else {
    at.warn("invalid NntpTls parameter");
  }
}

void kw_nntp_user(const ConfigLine& at) {
  store_string(at, server(at).NntpUser);
  server(at).user_at = line_of(at);
}
void kw_nntp_pass_file(const ConfigLine& at) {
  store_path(at, server(at).NntpPassFile);
  server(at).pass_file_at = line_of(at);
}
void kw_nntp_ca_file(const ConfigLine& at) {
  store_path(at, server(at).NntpCaFile);
  server(at).ca_file_at = line_of(at);
}

void kw_nntp_group(const ConfigLine& at) {
  std::string_view group = at.value;
  if (group.empty() || group.find_first_of(" \t,") != std::string_view::npos) {
    return at.warn("NntpGroup has invalid parameter");
  }
  try {
    server(at).NntpGroup.emplace_back(group);
  } catch (const std::bad_alloc&) {
    at.warn("out of memory");
  }
}

void kw_nntp_max_articles(const ConfigLine& at) {
  parse_count(at, 0, side().NntpMaxArticles);
}
void kw_nntp_max_article_size(const ConfigLine& at) {
  parse_count(at, 1024, side().NntpMaxArticleSize);
}
void kw_nntp_first_fetch(const ConfigLine& at) {
  parse_count(at, 0, side().NntpFirstFetch);
}
void kw_nntp_timeout(const ConfigLine& at) {
  parse_count(at, 1, side().NntpTimeout);
}
void kw_soup_sendmail_timeout(const ConfigLine& at) {
  parse_count(at, 0, side().SoupSendmailTimeout);
}

void kw_soup_history_days(const ConfigLine& at) {
  parse_count(at, 0, side().SoupHistoryDays);
}

void kw_soup_bounce_address(const ConfigLine& at) {
  std::string_view v = at.value;
  if (v.find('@') == std::string_view::npos || v.find_first_of(" \t<>\"") != v.npos ||
      v.front() == '-') {
    return at.warn("not a mail address");
  }
  store_string(at, side().SoupBounceAddress);
}

const NntpServerSettings* find_post_server(const SoupSideSettings& s) {
  for (const NntpServerSettings& n : s.servers) {
    if (n.NntpServer.empty()) continue;
    if (s.NntpPostServer.empty() || equals_nocase(n.NntpServer, s.NntpPostServer)) return &n;
  }
  return nullptr;
}

int report_soup_side_problems(RequireDirectory require_directory) {
  const SoupSideSettings& s = side();
  // A directory, and the sub-directories quillmar-soup uses in it once it
  // exists (a Maildir has new/, cur/ and tmp/).
  auto check_dir = [&](const char* keyword, const PathText& dir,
                       std::initializer_list<const char*> subdirs) {
    if (dir.empty()) return;
    std::string path = platform::os_path(dir.view());  // as a sysop can copy it
    require_directory(path, keyword);
    if (!platform::directory_problem(path + ".").empty()) return;
    for (const char* sub : subdirs) require_directory(path + sub, keyword);
  };
  int problems = 0;
  auto report = [&](const SettingLine& at, const std::string& problem) {
    warn_at(at, problem);
    ++problems;
  };
  check_dir("SoupMaildirDone", s.SoupMaildirDone, {"cur/"});
  check_dir("SoupRefusedDir", s.SoupRefusedDir, {});
  // A Maildir that is not there yet (the MTA makes it with the first mail)
  // is a warning: collect takes the news all the same.
  bool maildir_missing = false;
  if (!s.SoupMaildir.empty()) {
    std::string path = platform::os_path(s.SoupMaildir.view());
    for (const char* sub : {"", "new", "cur"}) {
      std::string part = path + sub;
      while (part.size() > 1 && part.back() == '/') part.pop_back();
      if (platform::file_exists(part)) continue;
      report(s.maildir_at,
             "the Maildir " + part + " does not exist (yet): collect takes no mail until it does");
      maildir_missing = true;
      break;
    }
  }
  if (!maildir_missing) check_dir("SoupMaildir", s.SoupMaildir, {"new/", "cur/"});
  auto unreadable = [](const PathText& file) {
    platform::File f;
    if (!f.open(file.view(), platform::OpenMode::read)) {
      return std::string(platform::last_error_text());
    }
    f.close();
    return std::string();
  };
  for (const NntpServerSettings& n : s.servers) {
    if (!n.NntpUser.empty()) {
      if (n.NntpPassFile.empty()) {
        report(n.user_at, "a login needs NntpPassFile, the file of its password");
      } else if (std::string why = unreadable(n.NntpPassFile); !why.empty()) {
        report(n.pass_file_at, "the password file of the login cannot be read (" + why + ")");
      } else if (platform::readable_by_others(n.NntpPassFile.view())) {
        report(n.pass_file_at,
               "every user of the system can read the password file (chmod o-r the file)");
      }
    }
    if (!n.NntpCaFile.empty()) {
      if (std::string why = unreadable(n.NntpCaFile); !why.empty()) {
        report(n.ca_file_at,
               "the file of the certificate authorities cannot be read (" + why + ")");
      }
    }
    if (n.NntpServer.empty()) {
      report(n.first_at, "no NntpServer line names the server: no news is collected or posted");
    }
  }
  if (!s.NntpPostServer.empty() && find_post_server(s) == nullptr) {
    report(s.post_server_at, "no NntpServer line names this server");
  }
  // Replies are sent (SoupSendmail), newsgroups are gated, but no server
  // takes the news replies: they would wait for ever.
  bool gates_news = false;
  for (const AreaMapEntry& e : settings->AreaMap) {
    gates_news = gates_news || e.direction != Direction::import_only;
  }
  bool server_named = false;
  for (const NntpServerSettings& n : s.servers)
    server_named = server_named || !n.NntpServer.empty();
  if (!s.SoupSendmail.empty() && !server_named && gates_news) {
    report(s.sendmail_at,
           "AreaMap gates newsgroups, but no NntpServer is set: the news replies cannot be posted");
  }
  return problems;
}

}  // namespace quillmar
