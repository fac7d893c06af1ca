// The SOUP reply packet as written: reply message files of the kinds mail
// and news with their 4-byte big-endian length framing, the REPLIES index
// and the files encoded into messages as MIME parts (base64 or uuencode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.hpp"
#include "platform/fs.hpp"

namespace quillmar {

// Reply kinds; the lists write their mails as kind mail.
inline constexpr int kReplyMail = 0;
inline constexpr int kReplyNews = 1;

// The boundary of the multipart messages the export writes.
inline constexpr const char* kMimeBoundary = "+=Quillmar=+";

// Finishes the kind's current reply file when it holds messages (lists it in
// REPLIES) and makes sure a current file name exists. The listing is on disk
// when this returns (the reply file, REPLIES and the SOUP directory are
// synced), so that the input of its messages may go. While the listing is
// held (EXPORT), the line is kept for the run's commit instead. False when
// no free file name is left (reported); the kind then has no file until a
// later flush finds one.
bool flush_reply_file(int kind);

// What EXPORT's journal does for the reply writer while the listing is
// held: it notes a reply file before the file is created (false when the
// note cannot be put on disk: the file must not be made), and it takes over
// the removal or truncation of the files sent, which happen at the commit.
struct ReplyJournal {
  bool (*note_reply_file)(int kind, uint16_t number);
  void (*remove)(std::string_view path, const platform::FileStamp& as_read);
  void (*truncate)(std::string_view path, const platform::FileStamp& as_read);
};

// EXPORT holds the listing of its reply files until the run's commit; its
// journal (when given) takes the notes meanwhile.
void hold_reply_listing(bool on, const ReplyJournal* journal = nullptr);

// A reply file finished while the listing is held.
struct ReplyListing {
  int kind = kReplyMail;
  uint16_t number = 0;
};
const std::vector<ReplyListing>& held_reply_listings();
void clear_held_listings();
// The path and the REPLIES line of a reply file.
std::string reply_file_path(int kind, uint16_t number);
std::string replies_line(int kind, uint16_t number);
// Puts the files on disk, then appends each line that REPLIES does not hold
// yet and puts REPLIES and its directory on disk. False when a file or a
// line could not be written (reported).
bool sync_reply_files(const std::vector<ReplyListing>& files);
bool list_reply_files(const std::vector<ReplyListing>& files);
// True when REPLIES holds `line` (with its line end).
bool replies_holds(std::string_view line);

// Where the reply files stood: a packet whose messages cannot all be
// written is taken out of them again.
struct ReplyMark {
  std::size_t held = 0;
  struct Kind {
    std::string name;
    uint16_t number = 0;
    long count = 0;
    bool existed = false;
    uint64_t size = 0;
  } kinds[2];
};
ReplyMark reply_mark();
void reply_rollback(const ReplyMark& mark);

// Opens the kind's current file and reserves the length field of a new
// message at its end. False when the file can be neither opened nor created
// (the caller skips the message).
bool open_reply_message(int kind, platform::File& stream);

// Writes the message's length and closes the stream; the message counts
// only when all of it reached the file. On a failure the file is cut back to
// where the message began, the failure is reported and the result is false.
// Files encoded into the message are deleted or truncated (as asked) only
// after the message is complete.
bool close_reply_message(int kind, platform::File& stream);

// What happens to an attached file once its message has been written.
enum class AfterSend { keep, erase, truncate };

// Writes one MIME part holding the open `input` file (named `path`) in the
// configured EncodeFormat and closes `input`. Unless /TEST is on, the file is
// deleted or truncated by close_reply_message once the message is complete,
// and only when the whole file was read without error.
void encode_attachment(platform::File& reply, platform::File& input, std::string_view path,
                       AfterSend mode);

// The kind's current reply file name (empty before the first flush) and the
// number of messages written into it.
std::string_view reply_file_name(int kind);
long reply_message_count(int kind);
// How many reply messages could not be opened or written in this run; the
// callers keep the inputs of a message whose reply failed.
long reply_write_failures();

// Lists the reply file `path` of `kind` (a file "mailNNNN.MSG" or
// "newsNNNN.MSG" of the SOUP directory) in REPLIES unless a line names it
// already: the completion of a run interrupted between committing the file
// and listing it. False when it is not listed afterwards (reported).
bool list_reply_file_once(int kind, std::string_view path);
// Whether REPLIES has the line of the reply file `path` of `kind`.
bool reply_file_listed(int kind, std::string_view path);

// Drops the kind's current file, whose messages were taken back (removed
// with it): the next message goes into a new file.
void drop_reply_file(int kind);
// Writes out what the reply files kept open hold in their buffers (while
// the listing is held, a message may stay there when it is closed); false
// when that failed (reported): the messages since the last settling may be
// incomplete and must be taken back.
bool settle_reply_streams();
// Closes the reply files kept open between their messages (every message
// in them is written), so that other code may open, cut or remove them.
void close_reply_streams();

// Forgets the reply file state (a new run).
void reset_reply_files();

}  // namespace quillmar
