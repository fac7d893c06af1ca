// What IMPORT has written and not yet finished, kept on disk so that a run
// killed at any moment (or cut off by a power failure) is completed by the
// next one: every message delivered once, none lost, none twice.
//
// The journal lives in the SOUP directory while a message file is imported.
// It holds the committed state: the claimed message file and how far its
// messages are committed, the temporary packets holding them and the reply
// file to be listed in REPLIES. Below it, each change made since (a list
// file grown or a member marked, a decoded file created) is noted before it
// is made. The next run takes back the changes, finishes the committed
// packets and replies, and goes on with the claimed file from the committed
// offset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/bounded_text.hpp"
#include "fido/packet_writer.hpp"
#include "lists/list_commands.hpp"
#include "platform/fs.hpp"
#include "soup/soup_reader.hpp"

namespace quillmar {

inline constexpr const char* kJournalName = "IMPORT.JNL";
// A packet being written: renamed to ".PKT" once it is complete and on disk.
inline constexpr const char* kTempPacketExtension = "QTP";
// A message file taken by IMPORT: "PREFIX.MSG" becomes "PREFIX.QIM", so that
// the SOUP program can unpack a new "PREFIX.MSG" meanwhile.
inline constexpr const char* kClaimedExtension = "QIM";
// The AREAS file taken by IMPORT.
inline constexpr const char* kClaimedAreasName = "AREAS.QIA";

struct CommittedPacket {
  std::string temp;     // held at its length: a file may fill very many packets
  int64_t length = -1;  // committed length of a packet still open; -1: complete
};

struct JournalState {
  bool has_claim = false;
  PathText claimed;   // the claimed message file
  PathText original;  // its name before the claim
  SoupArea area;
  int64_t consumed = 0;  // its messages before this offset are committed
  std::vector<CommittedPacket> packets;
  // A reply file whose messages are committed and that is to be listed.
  PathText reply;
  int64_t reply_size = 0;
  uint64_t reply_inode = 0;
  // The current reply file, whose messages are not committed.
  PathText open_reply;
};

// The journal's path; false when the name is too long.
bool journal_path(PathText& out);

// Completes what an interrupted run left (see above). `state` receives a
// claimed file still to be imported (has_claim), or nothing. False when the
// journal cannot be read or completed (reported): nothing may be imported.
// With `own_run`, the journal is this run's own, taken back after a
// failure: nothing is said of an earlier run.
bool complete_interrupted_import(JournalState& state, bool own_run = false);

// Writes `state` as the journal's committed state, in one step, on disk;
// the notes of changes since the last write are dropped (the changes are
// committed: their files are put on disk first). False on a failure
// (reported).
bool write_journal(const JournalState& state);

// Removes the journal (the run has finished what it held). Without
// `put_on_disk` the removal is not waited for: the caller puts the SOUP
// directory on disk before the run ends (a journal found again after a
// power cut finds its work done).
bool remove_journal(bool put_on_disk = true);

// Whether a journal is being kept (not under /TEST).
bool journal_active();

// Notes made before a change; false when the note could not be put on disk:
// the change must then not be made (and the run keeps its input).
bool journal_note_list_size(std::string_view list_path, long size_before);
bool journal_note_list_mark(std::string_view list_path, long position);
// The two notes above as the list commands take them.
const ListJournal* import_list_journal();
bool journal_note_new_file(std::string_view path);

// Decoded files. Where the file system allows it, a decoded file is written
// without a name and waits for it: its note (with the file's inode and
// birth time, so that only this file is ever taken back under the name)
// goes into the journal without waiting for the disk, and a batch of
// waiting files gets its names after one sync of the journal, at the
// latest before the next commit. Elsewhere (and under /TEST, where nothing
// is committed) the note is put on disk before the file is created under
// its name. A run killed meanwhile leaves no waiting file behind.
//
// Opens `file` for the decoded file to be named `path`; false when it can
// neither be made nor noted (the file is then not written).
bool open_decoded_file(std::string_view path, platform::File& file);
// The decoded file opened for `path`, written whole: it is closed, or waits
// for its name. False when it could not be written or named.
bool keep_decoded_file(std::string_view path, platform::File& file);
// Whether `path` names an existing file or one a waiting file is to get.
bool decoded_name_taken(std::string_view path);
// How many notes could not be written in this run.
long journal_failures();

// Lists the reply file `path` (kind mail) in REPLIES unless it is listed,
// and puts REPLIES on disk before the journal forgets the file. False when
// it is not listed (reported).
bool list_reply_durably(std::string_view path);

// A new temporary packet in InboundDir, open for writing: "%08lX.QTP" with
// a number above every packet name in use. False when none can be made.
bool create_temp_packet(OutPacket& packet);
// Gives a complete temporary packet its final name: the same number with
// ".PKT" when it is free, else the next free number. `final_name` receives
// it. False on a failure (reported).
bool publish_packet(std::string_view temp, PathText& final_name);
// A temporary packet removed again gives its number back when it was the
// last one made, so that the names go on without a gap.
void forget_packet_number(std::string_view temp);
// The packet numbering starts afresh (a new run; tests).
void reset_packet_names();

}  // namespace quillmar
