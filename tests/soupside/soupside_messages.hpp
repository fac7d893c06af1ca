// The messages, articles and groups the tests of quillmar-soup make, and
// what they read back from a packet.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "soupside/soupside_fixture.hpp"

namespace quillmar::testing {

inline std::string mail(const std::string& subject, const std::string& to = "sysop@example.org") {
  return "From: Ann Example <ann@example.net>\nTo: " + to + "\nSubject: " + subject +
         "\nMessage-ID: <" + subject + "@example.net>\n\nText of " + subject + ".\n";
}

inline std::string article(const std::string& group, const std::string& subject) {
  return "From: Bob Example <bob@example.com>\nNewsgroups: " + group + "\nSubject: " + subject +
         "\nMessage-ID: <" + subject + "." + group + "@example.com>\n\n.A line with a dot.\n";
}

// The same `count` articles (subjects prefix0, prefix1, ...) posted to
// `group` on INN and filed as 1..count in the stand-in server's spool under
// `dir`, which has one more, "extra", as count + 1.
inline bool post_to_inn_and_spool(const ScratchDir& dir, const std::string& group,
                                  const std::string& prefix, int count) {
  dir.mkdir("spool/" + group);
  for (int i = 0; i < count; ++i) {
    std::string subject = prefix + std::to_string(i);
    if (!post_article(dir, 119, article(group, subject))) return false;
    dir.write("spool/" + group + "/" + std::to_string(i + 1), article(group, subject));
  }
  dir.write("spool/" + group + "/" + std::to_string(count + 1), article(group, "extra"));
  return true;
}

inline void make_maildir(const ScratchDir& dir, const std::string& name) {
  for (const char* sub : {"/new", "/cur", "/tmp"}) dir.mkdir(name + sub);
}

// Posts `count` generated articles with the subjects prefix0, prefix1, ...
inline bool fill_group(const std::string& group, const std::string& prefix, int count,
                       int body_size = 200) {
  return shell(std::string(kPython) + " " + quote(kPeers) + " fill 119 " + quote(group) + " " +
               quote(prefix) + " " + std::to_string(count) + " " + std::to_string(body_size)) == 0;
}

// The subjects of the packet's messages in the order of AREAS and of the
// files.
inline std::vector<std::string> packet_sequence(const std::string& soup) {
  std::vector<std::string> out;
  if (!exists(soup + "/AREAS")) return out;
  std::string listing = read_file(soup + "/AREAS");
  std::size_t pos = 0;
  while (pos < listing.size()) {
    std::size_t lf = listing.find('\n', pos);
    std::string line = listing.substr(pos, lf - pos);
    pos = lf == std::string::npos ? listing.size() : lf + 1;
    std::string file = soup + "/" + line.substr(0, line.find('\t')) + ".MSG";
    if (!exists(file)) continue;
    for (const std::string& m : framed_messages(read_file(file))) {
      out.push_back(header_of(m, "Subject"));
    }
  }
  return out;
}

inline std::vector<std::string> numbered(const std::string& prefix, int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i <= to; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

inline std::size_t files_in(const std::string& dir) {
  if (!std::filesystem::is_directory(dir)) return 0;
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// quillmar-soup at a pinned time (faketime).
inline RunResult run_soup_at(const std::string& cwd, const std::vector<std::string>& args,
                             const std::string& when) {
  std::string cmd = "cd " + quote(cwd) + " && ASAN_OPTIONS=verify_asan_link_order=0 faketime " +
                    quote(when) + " " + quote(QUILLMAR_SOUP_BINARY);
  for (const std::string& a : args) cmd += " " + quote(a);
  RunResult r;
  r.exit_code = shell(cmd + " 2>&1", &r.err);
  return r;
}

}  // namespace quillmar::testing
