// The commit of an EXPORT run. The inputs of the run (packets, stored
// netmail, flow files and the files they send) are consumed only after the
// reply messages made from them are on disk and listed in REPLIES. Until
// then the run only notes what it will do; the notes go into a small
// journal in SoupDir (EXPORT.JNL) that exists only while a run works or
// after it was interrupted:
//
//   state open    the reply files the run has begun (not yet listed): an
//                 interrupted run left them unlisted, the next run removes
//                 them and reads the untouched inputs again;
//   state commit  the REPLIES lines and the consumption of every input:
//                 the next run completes whatever of it is not yet done.
//
// A consumption that fails (a read-only directory) stays in the journal:
// later runs leave that input alone (it has been sent) and try again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/fs.hpp"
#include "soup/reply.hpp"

namespace quillmar {

// Starts the run's journal: completes the journal of an interrupted run and
// loads the consumptions still owed. False when the journal cannot be
// read or completed; the run must then not export anything.
bool journal_start();

// Notes a reply file about to be created, before it exists (state open).
// False when the note cannot be put on disk: the file must not be made.
bool journal_note_reply_file(int kind, uint16_t number);

// The consumptions, carried out at the commit. Each records what the file
// is now, so that a file changed or replaced meanwhile is left alone.
void journal_remove(std::string_view path);
void journal_truncate(std::string_view path);
// The same with the file as it was before it was read: a file that grew
// while it was read is not taken for the one that was sent.
void journal_remove(std::string_view path, const platform::FileStamp& as_read);
void journal_truncate(std::string_view path, const platform::FileStamp& as_read);
// A stored message is marked sent (and deleted once it is marked) when it
// still holds `header` (kStoredHeaderSize bytes, as read) and its size.
void journal_mark_sent(std::string_view path, const platform::FileStamp& as_read,
                       const unsigned char* header);
void journal_kill(std::string_view path, const platform::FileStamp& as_read,
                  const unsigned char* header);
// Rewrites a flow file to `kept` (deletes it when `kept` is empty); `size`
// and `crc` describe the bytes that were read from it. Lines added after
// the read are kept behind `kept`.
void journal_rewrite_flow(std::string_view path, uint64_t size, uint32_t crc,
                          std::string_view kept);

// A notice packet for a FidoNet user (a returned netmail) is written into
// the inbound under a name no tosser takes, noted before it is made (false
// when the note cannot be put on disk: it must not be made), and put there
// under a packet name by the commit, with the consumption of the message
// it answers. A source taken back takes its notices with it.
bool journal_note_notice(std::string_view path);
bool journal_post_notice(std::string_view path);
// Puts the file written (and synced) under the name `temp` in the place of
// `path` at the commit: replacing the file there, or, without `replace`,
// only when the name is free (a new file). Noted once the run's other
// output is complete; a run killed before the commit leaves `temp` behind,
// for its writer to remove.
void journal_install(std::string_view temp, std::string_view path, bool replace);
// True when an earlier run's install is still owed: its temporary file
// must stay.
bool journal_owes_install();

// True when `path` is consumed by this run or owed by an earlier one: it
// has been sent and must not be read again.
bool journal_consumes(std::string_view path);

// The number of consumptions noted; a packet that fails gives back those
// noted since.
std::size_t journal_mark();
void journal_rollback(std::size_t mark);

// Commits the run: the reply files on disk, their REPLIES lines, then the
// consumptions. Failures are reported and noted as run failures. False when
// the reply packet did not reach REPLIES (nothing of the run was consumed).
bool journal_commit();

// The journal's part in the reply writer's work while EXPORT holds the
// listing of the reply files.
const ReplyJournal* export_reply_journal();

// Forgets everything (tests).
void journal_reset();

}  // namespace quillmar
