// Settings of the program that fetches and sends the SOUP packets
// (quillmar-soup): where mail comes from and goes to, and the news server.
// The gateway itself reads none of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/path_text.hpp"

namespace quillmar {

enum class NntpTls : uint8_t { none = 0, starttls = 1, tls = 2 };

// A configuration line as written, kept for a warning about its setting
// that only the whole configuration can show (CHECK).
struct SettingLine {
  std::string keyword;
  std::string value;
  std::string file;
  long line = 0;  // 0: not given
};

// One news server: an NntpServer line and the lines that go with it. The
// lines before a second NntpServer line belong to the first server (in
// whatever order they come), the lines after the n-th NntpServer line to
// that server.
struct NntpServerSettings {
  std::string NntpServer;
  uint16_t NntpPort = 0;  // 0: 119, or 563 with NntpTls TLS
  NntpTls nntp_tls = NntpTls::none;
  std::string NntpUser;
  PathText NntpPassFile;
  PathText NntpCaFile;
  std::vector<std::string> NntpGroup;
  // The lines of the first setting of this server, of NntpUser,
  // NntpPassFile and NntpCaFile.
  SettingLine first_at, user_at, pass_file_at, ca_file_at;
};

struct SoupSideSettings {
  PathText SoupMaildir;  // Maildir whose messages collect takes
  SettingLine maildir_at;
  PathText SoupMaildirDone;  // Maildir that keeps them afterwards (empty: deleted)
  std::string SoupSendmail;  // command that takes one mail on its input
  SettingLine sendmail_at;
  PathText SoupRefusedDir;  // where refused replies go (empty: SoupDir)
  // The news servers, in the order of their NntpServer lines.
  std::vector<NntpServerSettings> servers;
  // The server that takes the posts (its NntpServer name); empty: the first.
  std::string NntpPostServer;
  SettingLine post_server_at;
  uint32_t NntpMaxArticles = 0;  // per group and run; 0: no limit
  // Articles larger than this (bytes) are skipped.
  uint32_t NntpMaxArticleSize = 16u << 20;
  // On first contact with a group only its newest articles; 0: all.
  uint32_t NntpFirstFetch = 500;
  // Days the Message-IDs of collected messages are remembered; 0: none.
  uint32_t SoupHistoryDays = 30;
  // Seconds a news server may keep the client waiting.
  uint32_t NntpTimeout = 120;
  // Seconds the sendmail command may take for one mail; 0: no limit.
  uint32_t SoupSendmailTimeout = 300;
  // The envelope sender given to the sendmail command (-f); empty: the
  // Internet address of the first AddrMap line.
  std::string SoupBounceAddress;
};

}  // namespace quillmar
