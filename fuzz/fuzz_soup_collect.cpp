// quillmar-soup collect, Maildir side: the Maildir's file names and
// messages, and the state files a run may leave (its journal COLLECT.JNL,
// the high-water marks COLLECT.DAT, AREAS). The input holds, between
// separators, the journal, the marks and AREAS (each none when empty), then
// up to six Maildir messages, each its file name on a first line ("cur:"
// before it puts it in cur/, else new/) and its bytes. In the journal "@"
// before a taken path stands for the Maildir. Collect runs twice. A message
// that leaves the Maildir is in the packet (unless the journal said it was
// taken before), and no message is in the packet more often than the
// Maildir held it; the message files are framed whole. A mailing list's
// copy of a message whose Message-ID is in the packet or in the journal's
// history lines may leave without going in. A journal that no
// run could have written (names outside the SOUP directory and the Maildir
// messages, zero bytes) is passed over.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "harness.hpp"
#include "soup/soup_format.hpp"
#include "soupside/collect.hpp"
#include "soupside/header_field.hpp"
#include "soupside/maildir.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

namespace {

constexpr std::size_t kMaildirParts = 6;

std::string without_crlf(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

bool plain_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

// The journal with the Maildir's path put in; false when it names a file
// outside the SOUP directory and the Maildir, which no run writes.
bool journal_text(std::string_view input, std::string& out, std::vector<std::string>& taken) {
  // Written whole and put on disk before it gets its name, the journal
  // holds no zero bytes (which the file system calls would cut a name at).
  if (input.find('\0') != std::string_view::npos) return false;
  const std::string maildir = in_box("temp/maildir/");
  for (std::size_t pos = 0; pos < input.size();) {
    std::size_t lf = input.find('\n', pos);
    std::size_t end = lf == std::string_view::npos ? input.size() : lf + 1;
    std::string line(input.substr(pos, end - pos));
    pos = end;
    if (line.compare(0, 5, "area\t") == 0) {
      std::size_t tab = line.find('\t', 5);
      if (!plain_name(std::string_view(line).substr(5, tab == std::string::npos ? tab : tab - 5))) {
        return false;
      }
    } else if (line.compare(0, 5, "take\t") == 0) {
      // A message of new/ or cur/, as collect notes them.
      std::string name = line.substr(5);
      while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
      if (name.compare(0, 5, "@new/") != 0 && name.compare(0, 5, "@cur/") != 0) return false;
      if (!plain_name(std::string_view(name).substr(5))) return false;
      line.replace(5, 1, maildir);
      taken.push_back(maildir + name.substr(1));
    }
    out += line;
  }
  return true;
}

}  // namespace

QUILLMAR_FUZZ_TARGET(soup_collect) {
  std::vector<std::string_view> parts = split_parts(
      std::string_view(reinterpret_cast<const char*>(data), size), 3 + kMaildirParts + 1);
  std::string journal;
  std::vector<std::string> taken_before;
  if (!journal_text(parts[0], journal, taken_before)) return 0;
  reset_box(Mailer::binkley, kSoupSideConfig);
  for (const char* dir :
       {"temp/maildir", "temp/maildir/new", "temp/maildir/cur", "temp/maildir/tmp", "temp/done",
        "temp/done/new", "temp/done/cur", "temp/done/tmp"}) {
    ::mkdir(in_box(dir).c_str(), 0755);
  }
  if (!journal.empty()) write_file("soup/COLLECT.JNL", journal);
  if (!parts[1].empty()) write_file("soup/COLLECT.DAT", parts[1]);
  if (!parts[2].empty()) write_file("soup/AREAS", parts[2]);
  struct Mail {
    std::string path;  // in the box
    std::string text;  // as the packet holds it
  };
  std::vector<Mail> mails;
  std::map<std::string, long> held;
  for (std::size_t i = 3; i < 3 + kMaildirParts; ++i) {
    auto [name, text] = split_input(parts[i], "\n");
    std::string_view sub = "new/";
    if (name.substr(0, 4) == "cur:") {
      sub = "cur/";
      name.remove_prefix(4);
    }
    if (!plain_name(name)) continue;
    std::string path = "temp/maildir/" + std::string(sub) + std::string(name);
    if (::access(in_box(path).c_str(), F_OK) == 0) continue;
    write_file(path, text);
    bool kept = name[0] != '.' && name.find_first_of("\t\n\\") == std::string_view::npos;
    if (kept) ++held[without_crlf(text)];
    mails.push_back({path, without_crlf(text)});
  }

  guarded([] {
    if (!start_run()) fail("the fixed configuration could not be read");
  });
  as_run([] { collect_packet(); });
  as_run([] { collect_packet(); });

  // The packet: every message file that collect made and AREAS lists.
  std::map<std::string, long> packed;
  std::string areas = read_file("soup/AREAS");
  std::vector<std::string> seen_files;
  std::vector<std::string_view> input_lines;
  for (std::string_view rest = parts[2]; !rest.empty();) {
    auto [line, after] = split_input(rest, "\n");
    input_lines.push_back(line);
    rest = after;
  }
  for (std::size_t pos = 0; pos < areas.size();) {
    std::size_t lf = areas.find('\n', pos);
    std::string_view line =
        std::string_view(areas).substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
    pos = lf == std::string::npos ? areas.size() : lf + 1;
    SoupListing listing;
    if (!parse_soup_listing(line, listing) || listing.prefix.compare(0, 2, "QS") != 0) continue;
    // A line the input's AREAS had may name a file that is not there.
    bool old_line = std::find(input_lines.begin(), input_lines.end(), line) != input_lines.end();
    if (old_line && ::access(in_box("soup/" + listing.prefix + ".MSG").c_str(), F_OK) != 0) {
      continue;
    }
    // Every message file here is collect's: one under a name the old AREAS
    // listed would be read with that line's area and encoding.
    if (old_line) fail("collect made %s, a name AREAS listed already", listing.prefix.c_str());
    if (std::find(seen_files.begin(), seen_files.end(), listing.prefix) != seen_files.end()) {
      if (!old_line) fail("collect listed %s in AREAS again", listing.prefix.c_str());
      continue;
    }
    seen_files.push_back(listing.prefix);
    std::string file = read_file("soup/" + listing.prefix + ".MSG");
    if (file.empty()) fail("AREAS lists %s, which is empty or missing", listing.prefix.c_str());
    for (std::size_t at = 0; at < file.size();) {
      if (file.size() - at < 4) fail("%s: a length field cut at %zu", listing.prefix.c_str(), at);
      uint32_t length = 0;
      for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(file[at + i]);
      at += 4;
      if (length > file.size() - at) fail("%s: a message past the end", listing.prefix.c_str());
      std::string text = file.substr(at, length);
      at += length;
      if (++packed[text] > held[text]) {
        fail("a message of %zu bytes is in the packet %ld times, the Maildir held it %ld times",
             text.size(), packed[text], held[text]);
      }
    }
  }
  // The Message-IDs collect knows: those of the packet and of the journal.
  std::set<std::string> known_ids;
  for (const auto& [text, count] : packed) known_ids.insert(header_value(text, "Message-ID"));
  for (std::size_t pos = 0; pos < journal.size();) {
    std::size_t lf = journal.find('\n', pos);
    std::string line = journal.substr(pos, lf == std::string::npos ? lf : lf - pos);
    pos = lf == std::string::npos ? journal.size() : lf + 1;
    if (line.compare(0, 5, "hist\t") == 0) known_ids.insert(line.substr(5));
  }
  for (const Mail& mail : mails) {
    if (::access(in_box(mail.path).c_str(), F_OK) == 0) continue;
    std::string id = header_value(mail.text, "Message-ID");
    if (is_list_copy(mail.text) && is_message_id(id) && known_ids.count(id) != 0) continue;
    if (std::find(taken_before.begin(), taken_before.end(), in_box(mail.path)) !=
        taken_before.end()) {
      continue;
    }
    if (packed[mail.text] == 0)
      fail("%s left the Maildir but is not in the packet", mail.path.c_str());
  }
  return 0;
}
