#include "config/soupside_keywords.hpp"

#include <cstdio>
#include <initializer_list>
#include <new>
#include <string>

#include "base/text_helpers.hpp"
#include "platform/fs.hpp"

namespace quillmar {

namespace {

SoupSideSettings& side() {
  return settings->soup_side;
}

// The server a line of its settings belongs to: the last one named, or the
// first one (named later) before any is named.
NntpServerSettings& server() {
  std::vector<NntpServerSettings>& servers = side().servers;
  if (servers.empty()) servers.emplace_back();
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
}
void kw_soup_maildir_done(const ConfigLine& at) {
  parse_directory(at, at.value, side().SoupMaildirDone);
}
void kw_soup_sendmail(const ConfigLine& at) {
  store_string(at, side().SoupSendmail);
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
  if (servers.empty() || !servers.back().NntpServer.empty()) servers.emplace_back();
  store_string(at, servers.back().NntpServer);
}

void kw_nntp_post_server(const ConfigLine& at) {
  if (at.value.empty() || at.value.find_first_of(" \t") != std::string_view::npos) {
    return at.warn("NntpPostServer has invalid parameter");
  }
  store_string(at, side().NntpPostServer);
}

void kw_nntp_port(const ConfigLine& at) {
  parse_number16(at, at.value, server().NntpPort);
}

void kw_nntp_tls(const ConfigLine& at) {
  if (equals_nocase(at.value, "No")) {
    server().nntp_tls = NntpTls::none;
  } else if (equals_nocase(at.value, "StartTLS")) {
    server().nntp_tls = NntpTls::starttls;
  } else if (equals_nocase(at.value, "TLS")) {
    server().nntp_tls = NntpTls::tls;
  } else {
    at.warn("invalid NntpTls parameter");
  }
}

void kw_nntp_user(const ConfigLine& at) {
  store_string(at, server().NntpUser);
}
void kw_nntp_pass_file(const ConfigLine& at) {
  store_path(at, server().NntpPassFile);
}
void kw_nntp_ca_file(const ConfigLine& at) {
  store_path(at, server().NntpCaFile);
}

void kw_nntp_group(const ConfigLine& at) {
  std::string_view group = at.value;
  if (group.empty() || group.find_first_of(" \t,") != std::string_view::npos) {
    return at.warn("NntpGroup has invalid parameter");
  }
  try {
    server().NntpGroup.emplace_back(group);
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

int report_soup_side_problems() {
  const SoupSideSettings& s = side();
  int problems = 0;
  auto report = [&](const char* keyword, std::string_view value, const std::string& problem) {
    std::string shown(value);  // as a sysop can copy it into a shell
    for (char& c : shown) {
      if (c == '\\') c = '/';
    }
    std::fprintf(stderr, "quillmar-soup: %s%s%s: %s\n", keyword, shown.empty() ? "" : " ",
                 shown.c_str(), problem.c_str());
    ++problems;
  };
  // A directory, and the sub-directories quillmar-soup uses in it.
  auto check_dir = [&](const char* keyword, const PathText& dir,
                       std::initializer_list<const char*> subdirs) {
    if (dir.empty()) return;
    std::string problem = platform::directory_problem(std::string(dir.view()) + ".");
    if (!problem.empty()) return report(keyword, dir.view(), problem);
    for (const char* sub : subdirs) {
      problem = platform::directory_problem(std::string(dir.view()) + sub + ".");
      if (!problem.empty()) {
        report(keyword, dir.view(),
               std::string("its ") + sub + " (a Maildir has new/, cur/ and tmp/): " + problem);
      }
    }
  };
  check_dir("SoupMaildir", s.SoupMaildir, {"new/", "cur/"});
  check_dir("SoupMaildirDone", s.SoupMaildirDone, {"cur/"});
  check_dir("SoupRefusedDir", s.SoupRefusedDir, {});
  auto readable = [](const PathText& file) {
    platform::File f;
    if (!f.open(file.view(), platform::OpenMode::read))
      return std::string(platform::last_error_text());
    f.close();
    return std::string();
  };
  for (const NntpServerSettings& n : s.servers) {
    if (!n.NntpUser.empty()) {
      if (n.NntpPassFile.empty()) {
        report("NntpUser", n.NntpUser, "a login needs NntpPassFile, the file of its password");
      } else if (std::string why = readable(n.NntpPassFile); !why.empty()) {
        report("NntpPassFile", n.NntpPassFile.view(),
               "cannot be read (" + why + "); the login of NntpUser needs it");
      }
    }
    if (!n.NntpCaFile.empty()) {
      if (std::string why = readable(n.NntpCaFile); !why.empty()) {
        report("NntpCaFile", n.NntpCaFile.view(), "cannot be read (" + why + ")");
      }
    }
    if (n.NntpServer.empty()) {
      report("NntpServer", "", "not set: no news is collected or posted");
    }
  }
  if (!s.NntpPostServer.empty() && find_post_server(s) == nullptr) {
    report("NntpPostServer", s.NntpPostServer, "no NntpServer line names this server");
  }
  return problems;
}

}  // namespace quillmar
