// The SOUP packet as the import reads it: the AREAS index and the message
// files in their four encodings, cut into the byte ranges of the messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/bounded_text.hpp"
#include "base/text_reader.hpp"
#include "platform/fs.hpp"

namespace quillmar {

enum class MessageFormat : uint8_t { rnews, mailbox, mmdf, binary };
enum class MessageKind : uint8_t { mail = 0, news = 1 };

struct SoupArea {
  Text<256> prefix;
  Text<128> area_name;
  MessageFormat format = MessageFormat::binary;
  MessageKind kind = MessageKind::mail;
  bool unknown_format = false;  // the line was rejected for its format letter
};

// The bytes of one message: from `start` up to, not including, `end`.
struct MessageExtent {
  int64_t start = 0;
  int64_t end = 0;
};

// The longest line a message file is read in at once.
inline constexpr std::size_t kMessageLineMax = 32767;

// A message file, read through one large buffer that lives for the run.
class MessageFile {
 public:
  MessageFile() = default;
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;
  ~MessageFile();

  bool open(std::string_view path);
  void close();
  bool is_open() const { return file_.is_open(); }
  int64_t size() const { return size_; }
  int64_t tell() const { return base_ + static_cast<int64_t>(pos_); }
  void seek(int64_t offset);
  // The next byte, or -1 at the end of the file.
  int get();
  // The next byte without taking it, or -1 at the end of the file.
  int peek() {
    if (pos_ == end_ && !fill(1)) return -1;
    return static_cast<unsigned char>(buffer_[pos_]);
  }
  // The next line up to and including its line feed, at most `maximum`
  // bytes; empty at the end of the file. Valid until the next read.
  std::string_view read_line(std::size_t maximum = kMessageLineMax);
  // Up to `count` bytes; fewer at the end of the file.
  std::string_view read_bytes(std::size_t count);

 private:
  bool fill(std::size_t wanted);

  static constexpr std::size_t kBufferSize = 256 * 1024;
  platform::File file_;
  char* buffer_ = nullptr;  // kBufferSize bytes, allocated once
  int64_t base_ = 0;        // file offset of buffer_[0]
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  int64_t size_ = 0;
  bool eof_ = false;
};

enum class AreaLine { area, rejected, end_of_file };

// Reads the next line of the AREAS file; `line_number` counts every line.
AreaLine read_area_line(TextReader& areas, long& line_number, SoupArea& area, bool quiet = false);

// Reports "Importing ..." and opens the area's message file, or the file
// `claimed` when one is given. It is read up to the size it has now.
bool open_message_file(const SoupArea& area, long line_number, MessageFile& file,
                       std::string_view claimed = {});

// Shows how much of the message file has been read.
void show_progress(const MessageFile& file);

enum class ExtentResult { message, end_of_file, format_error };

ExtentResult next_message_extent(MessageFile& file, MessageFormat format, MessageExtent& extent);

}  // namespace quillmar
