// quillmar-soup deliver: REPLIES and the framing of the reply files as
// deliver reads them, and its ledger DELIVER.JNL as a run may leave it (a
// last line cut by a power cut among them). The input holds, between
// separators, REPLIES, the reply files mail0000.MSG and news0000.MSG, the
// ledger (none when empty) and the exit statuses of the sendmail command
// (one byte each). Deliver runs twice: with those statuses, then as the
// next run with a command that takes everything. No message the ledger
// marks sent or refused goes out, none goes out twice, and a reply file
// that is gone had every message taken or set aside.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "base/text_helpers.hpp"
#include "harness.hpp"
#include "rfc/internet_address.hpp"
#include "soup/soup_format.hpp"
#include "soupside/deliver.hpp"
#include "soupside_fakes.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

namespace {

constexpr int kStatuses[] = {0, 75, 67, 65, 1, 69};

struct Message {
  std::string key;
  std::string text;
};

// The framed messages of a reply file, up to its first damage; false when
// it has one.
bool framed_messages(std::string_view prefix, std::string_view data, std::vector<Message>& out) {
  std::size_t at = 0;
  for (long index = 0; at < data.size(); ++index) {
    if (data.size() - at < 4) return false;
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(data[at + i]);
    at += 4;
    if (length > data.size() - at) return false;
    std::string_view text = data.substr(at, length);
    char tail[64];
    std::snprintf(tail, sizeof tail, "\t%ld\t%zu\t%08X", index, text.size(),
                  static_cast<unsigned>(crc32(text.data(), text.size())));
    out.push_back({std::string(prefix) + tail, std::string(text)});
    at += length;
  }
  return true;
}

// A reply file's prefix in one case: files are found without regard to
// case, so the lines "mail0000" and "MAIL0000" name one file.
std::string one_case(std::string_view prefix) {
  std::string out(prefix);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

}  // namespace

QUILLMAR_FUZZ_TARGET(soup_deliver) {
  static int seen = -1;
  if (setup_needed(seen)) reset_box(Mailer::binkley, kSoupSideConfig);
  std::vector<std::string_view> parts =
      split_parts(std::string_view(reinterpret_cast<const char*>(data), size), 5);
  reset_box(Mailer::binkley, kSoupSideConfig);
  ::mkdir(in_box("temp/refused").c_str(), 0755);
  write_file("soup/REPLIES", parts[0]);
  const std::string_view files[2] = {parts[1], parts[2]};
  write_file("soup/mail0000.MSG", files[0]);
  write_file("soup/news0000.MSG", files[1]);
  if (!parts[3].empty()) write_file("soup/DELIVER.JNL", parts[3]);

  // What the input says: the mail messages listed, and the ledger's word
  // on each.
  std::map<std::string, std::string> ledger;
  for (std::size_t pos = 0; pos < parts[3].size();) {
    std::size_t lf = parts[3].find('\n', pos);
    if (lf == std::string_view::npos) break;  // a cut line says nothing
    std::string_view line = parts[3].substr(pos, lf - pos);
    pos = lf + 1;
    std::size_t tab = line.rfind('\t');
    if (tab == std::string_view::npos) continue;
    std::string_view field = line.substr(0, tab);
    std::size_t prefix_end = std::min(field.find('\t'), field.size());
    std::string key = one_case(field.substr(0, prefix_end)) + std::string(field.substr(prefix_end));
    std::string_view state = line.substr(tab + 1);
    if (state == "sent" || state == "refused") ledger[key] = state;
    if (state == "sending" && ledger.count(key) == 0) ledger[key] = state;
  }
  std::vector<Message> listed;     // messages of listed mail files
  std::vector<std::string> whole;  // listed mail files without damage
  for (std::size_t pos = 0; pos <= parts[0].size();) {
    std::size_t lf = parts[0].find('\n', pos);
    std::string_view line =
        parts[0].substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
    pos = lf == std::string_view::npos ? parts[0].size() + 1 : lf + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    SoupListing listing;
    if (line.empty() || !parse_soup_listing(line, listing)) continue;
    if (soup_listing_kind(listing) != 0 || listing.encoding.empty() ||
        (listing.encoding[0] != 'b' && listing.encoding[0] != 'B')) {
      continue;
    }
    const std::string prefix = one_case(listing.prefix);
    int file = prefix == "mail0000" ? 0 : prefix == "news0000" ? 1 : -1;
    if (file < 0 || std::find(whole.begin(), whole.end(), prefix) != whole.end()) continue;
    std::vector<Message> messages;
    if (framed_messages(prefix, files[file], messages)) whole.push_back(prefix);
    listed.insert(listed.end(), messages.begin(), messages.end());
  }

  FakeSendmail& fake = fake_sendmail();
  fake = FakeSendmail{};
  fake.on = true;
  for (unsigned char c : parts[4]) fake.statuses.push_back(kStatuses[c % 6]);
  guarded([] {
    if (!start_run()) fail("the fixed configuration could not be read");
  });
  as_run([] { deliver_replies(); });
  fake.statuses.clear();
  fake.next_status = 0;
  as_run([] { deliver_replies(); });
  fake.on = false;

  // Nothing sent twice, nothing the ledger marked sent or refused.
  std::map<std::string, long> may_go;
  for (const Message& m : listed) {
    auto said = ledger.find(m.key);
    if (said == ledger.end() || said->second == "sending") ++may_go[m.text];
  }
  std::map<std::string, long> went;
  for (const std::vector<std::string>* handed : {&fake.accepted, &fake.refused}) {
    for (const std::string& text : *handed) {
      if (++went[text] > may_go[text]) {
        fail("a mail of %zu bytes went out %ld times, %ld allowed", text.size(), went[text],
             may_go[text]);
      }
    }
  }
  // Mail whose recipients are no addresses is set aside without being
  // handed to the command: the refused directory holds it.
  std::map<std::string, long> set_aside;
  if (DIR* d = ::opendir(in_box("temp/refused").c_str())) {
    while (const dirent* e = ::readdir(d)) {
      // Damaged reply files are set aside there too, as *.BAD.
      if (!std::string_view(e->d_name).ends_with(".REF")) continue;
      ++set_aside[read_file("temp/refused/" + std::string(e->d_name))];
    }
    ::closedir(d);
  }
  for (const auto& [text, count] : set_aside) {
    if (!mail_recipient_problem(text).empty() && went[text] + count > may_go[text]) {
      fail("a mail of %zu bytes went out or aside %ld times, %ld allowed", text.size(),
           went[text] + count, may_go[text]);
    }
    if (!mail_recipient_problem(text).empty()) went[text] += count;
  }
  // A reply file that is gone had every message taken or set aside.
  for (const std::string& prefix : whole) {
    if (::access(in_box("soup/" + prefix + ".MSG").c_str(), F_OK) == 0) continue;
    for (const Message& m : listed) {
      auto said = ledger.find(m.key);
      bool done_before = said != ledger.end() && said->second != "sending";
      if (m.key.compare(0, prefix.size() + 1, prefix + "\t") != 0 || done_before) continue;
      if (went[m.text] == 0) fail("mail %s is gone without being sent", m.key.c_str());
    }
  }
  return 0;
}
