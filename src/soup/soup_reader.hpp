// The SOUP packet as the import reads it: the AREAS index and the message
// files in their four encodings, cut into the byte ranges of the messages.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
  Text<256> line;               // the line as read, without its line end
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
  // A number of its own for every opening of a file (0: none yet).
  uint64_t generation() const { return generation_; }
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
  std::string_view read_line(std::size_t maximum = kMessageLineMax) {
    // A line end among the bytes at hand needs no more of the file.
    if (maximum > kBufferSize / 2) maximum = kBufferSize / 2;
    const char* at = buffer_ + pos_;
    std::size_t have = std::min(end_ - pos_, maximum);
    std::size_t n = line_feed_at(at, have);
    if (n < have) {
      pos_ += n + 1;
      return std::string_view(at, n + 1);
    }
    return read_line_slow(maximum);
  }
  // Up to `count` bytes; fewer at the end of the file.
  std::string_view read_bytes(std::size_t count);
  // The next `count` bytes without taking them, when the buffer can hold
  // them at once; fewer at the end of the file, none when it cannot.
  std::string_view look_ahead(std::size_t count) {
    if (count > kBufferSize / 2 || !fill(count)) return {};
    return std::string_view(buffer_ + pos_, std::min(end_ - pos_, count));
  }
  // Whether `bytes`, just returned by read_line() or read_bytes(), hold a
  // NUL byte. The window is scanned once, not line by line.
  bool has_nul(std::string_view bytes) {
    if (bytes.empty()) return false;
    std::size_t from = static_cast<std::size_t>(bytes.data() - buffer_);
    std::size_t to = from + bytes.size();
    if (from < nul_from_ || to > nul_to_ || next_nul_ < from) scan_for_nul(from);
    return next_nul_ < to;
  }

  // The index of the first line feed in at[0, have), or `have`, for bytes
  // of the file's window (read_line(), look_ahead()). Reads in blocks of 16
  // bytes, up to 15 beyond `have` but never beyond the buffer's spare end.
  static std::size_t line_feed_at(const char* at, std::size_t have) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    for (std::size_t i = 0; i < have; i += 16) {
      __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + i));
      unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lf)));
      if (mask != 0) {
        std::size_t n = i + static_cast<std::size_t>(__builtin_ctz(mask));
        return n < have ? n : have;
      }
    }
    return have;
#else
    const void* lf = std::memchr(at, '\n', have);
    return lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - at) : have;
#endif
  }

 private:
  bool fill(std::size_t wanted);
  void scan_for_nul(std::size_t from);
  std::string_view read_line_slow(std::size_t maximum);

  static constexpr std::size_t kBufferSize = 256 * 1024;
  static constexpr std::size_t kSpareEnd = 16;  // zeroed bytes behind the buffer
  platform::File file_;
  char* buffer_ = nullptr;  // kBufferSize bytes, allocated once
  int64_t base_ = 0;        // file offset of buffer_[0]
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  int64_t size_ = 0;
  uint64_t generation_ = 0;
  bool eof_ = false;
  // No NUL in buffer_[nul_from_, next_nul_); next_nul_ is one, or nul_to_.
  std::size_t nul_from_ = 0;
  std::size_t nul_to_ = 0;
  std::size_t next_nul_ = 0;
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
