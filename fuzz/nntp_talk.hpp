// A talk with the news server stand-in, read again as a client that keeps
// to the protocol reads it: every command the client sent gets the next
// answer of the script, in order; a status line is at most 4,096 bytes, a
// line ends in LF (a CR before it dropped), a multi-line block ends in a
// line "." and loses the "." that stuffs its lines. The fuzz target holds
// what quillmar-soup did against this reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "nntp_server.hpp"

namespace quillmar::fuzz {

struct ArticleAnswer {
  std::string group;  // selected when it was asked
  uint64_t number = 0;
  int code = 0;  // 0: not answered (the script ended before)
  std::string status;
  // For a 220: the block ended in its "." line, and the number the status
  // line gives is the one asked (or 0, or none).
  bool whole = false;
  bool in_step = false;
  std::string text;  // the article as a client keeps it (lines ended by LF)
  std::size_t size = 0;
};

struct GroupAnswer {
  std::string group;
  int code = 0;
  bool understood = false;  // "211 count low high ..."
  uint64_t low = 0, high = 0;
};

struct OverviewLine {
  std::string group;
  uint64_t number = 0;
  std::string id;
};

struct StatAnswer {
  std::string id;  // asked for: a Message-ID, or an article number
  int code = 0;
  std::string status;
  std::string group;    // selected when it was asked
  uint64_t number = 0;  // the article asked for by number (0: by Message-ID)
  // For a 223 to an article asked by number: the status line gives that
  // number (or 0, or none).
  bool in_step = false;
};

struct PostAnswer {
  std::string text;    // the article sent, as the client meant it
  bool whole = false;  // it ended in its "." line
  int code = 0;        // the answer to the article (0: none)
};

struct TalkReading {
  bool greeted = false;  // 200 or 201
  std::vector<GroupAnswer> groups;
  std::vector<ArticleAnswer> articles;
  std::vector<OverviewLine> overview;
  std::vector<StatAnswer> stats;
  std::vector<PostAnswer> posts;
};

TalkReading read_talk(const NntpTalk& talk);

// The three digits a status line starts with; 0 without them.
int status_code(std::string_view line);

// The Message-ID ("<...>") a status line gives after its code and an
// optional number; empty when it gives none.
std::string_view status_message_id(std::string_view line);

}  // namespace quillmar::fuzz
