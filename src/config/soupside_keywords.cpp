#include "config/soupside_keywords.hpp"

#include <new>

#include "base/text_helpers.hpp"

namespace quillmar {

namespace {

SoupSideSettings& side() {
  return settings->soup_side;
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
  store_string(at, side().NntpServer);
}

void kw_nntp_port(const ConfigLine& at) {
  parse_number16(at, at.value, side().NntpPort);
}

void kw_nntp_tls(const ConfigLine& at) {
  if (equals_nocase(at.value, "No")) {
    side().nntp_tls = NntpTls::none;
  } else if (equals_nocase(at.value, "StartTLS")) {
    side().nntp_tls = NntpTls::starttls;
  } else if (equals_nocase(at.value, "TLS")) {
    side().nntp_tls = NntpTls::tls;
  } else {
    at.warn("invalid NntpTls parameter");
  }
}

void kw_nntp_user(const ConfigLine& at) {
  store_string(at, side().NntpUser);
}
void kw_nntp_pass_file(const ConfigLine& at) {
  store_path(at, side().NntpPassFile);
}
void kw_nntp_ca_file(const ConfigLine& at) {
  store_path(at, side().NntpCaFile);
}

void kw_nntp_group(const ConfigLine& at) {
  std::string_view group = at.value;
  if (group.empty() || group.find_first_of(" \t,") != std::string_view::npos) {
    return at.warn("NntpGroup has invalid parameter");
  }
  try {
    side().NntpGroup.emplace_back(group);
  } catch (const std::bad_alloc&) {
    at.warn("out of memory");
  }
}

void kw_nntp_max_articles(const ConfigLine& at) {
  parse_number32(at, at.value, side().NntpMaxArticles);
}

}  // namespace quillmar
