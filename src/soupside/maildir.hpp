// The Maildir as collect meets it: whether it is there, the messages it
// takes out of it (by their exact names: Maildir names are Unix names), the
// copies of the gateway's own mail that a mailing list sends back, and the
// register of the messages collect cannot take out or read, so that each is
// reported once and then passed instead of stopping every later run.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// Why no mail can be taken from the Maildir `dir` (its new/ or cur/
// included); empty when it can. When a directory of it does not exist
// (before the first mail an MTA may not have made it yet), `missing` is
// set and the text is that directory's name.
std::string maildir_problem(std::string_view dir, bool& missing);

// True when the message is a mailing list's copy: its header has a
// List-Id or List-Post field (RFC 2919, RFC 2369) or ezmlm's Mailing-List.
bool is_list_copy(std::string_view message);

// Takes one message out of the Maildir: into SoupMaildirDone's cur/ when
// that is set, else deleted. A message that is gone already counts as
// taken out. When it stays, `why` says why, and `stuck` tells that the
// Maildir does not let this user take it out (a later try fails as well),
// as against a fault a later run may not meet (SoupMaildirDone's cur/
// missing, a full disk).
enum class Disposal { done, stuck, failed };
Disposal dispose_of_mail(const std::string& source, std::string& why);

// The messages collect passes while they stay unchanged in the Maildir:
// those taken into a packet that could not be taken out of the Maildir,
// and those that could not be read (tried again, but reported only once).
// Kept in the SOUP directory, one line each.
class MaildirRegister {
 public:
  enum class Kind { none, taken, unread };

  // Reads the register; false (reported) when it cannot be read.
  bool load();
  // What the register says about the message `path`, as long as it is
  // the same file it was when it was noted (none otherwise).
  Kind find(const std::string& path) const;
  // Notes the message `path` as it is now; false when it cannot be looked
  // at. The register changes on disk only with save().
  bool note(const std::string& path, Kind kind);
  // Keeps only the entries noted since load() (with keep_only_noted) or
  // all of them, and puts the register on disk when it changed.
  bool save();
  // From now on the entries found by find() or noted are the ones kept;
  // the others go with the next save().
  void keep_only_noted() { prune_ = true; }
  // Marks the entry of `path` as still wanted (when pruning).
  void keep(const std::string& path);

 private:
  struct Entry {
    Kind kind = Kind::none;
    std::string identity;  // device, inode, size, times, as text
    std::string path;
    bool wanted = false;
    bool operator==(const Entry& o) const {
      return kind == o.kind && identity == o.identity && path == o.path;
    }
  };
  std::vector<Entry> loaded_;
  std::vector<Entry> entries_;
  bool prune_ = false;
};

}  // namespace quillmar
