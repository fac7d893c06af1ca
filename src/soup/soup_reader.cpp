#include "soup/soup_reader.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/log.hpp"
#include "base/number_scan.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"

namespace quillmar {

namespace {

constexpr std::size_t kAreaLinePiece = 254;
constexpr std::string_view kRnewsHeader = "#! rnews ";
constexpr std::string_view kMailboxSeparator = "From ";
constexpr std::string_view kMmdfSeparator = "\x01\x01\x01\x01";

int last_progress = -1;
uint64_t openings = 0;

}  // namespace

bool MessageFile::open(std::string_view path) {
  close();
  if (buffer_ == nullptr) {
    buffer_ = static_cast<char*>(alloc_or_exit(kBufferSize + kSpareEnd));
    std::memset(buffer_, 0, kBufferSize + kSpareEnd);
  }
  if (!file_.open(path, platform::OpenMode::read)) return false;
  generation_ = ++openings;
  file_.seek(0, SEEK_END);
  size_ = file_.tell();
  if (size_ < 0) size_ = 0;
  file_.seek(0, SEEK_SET);
  base_ = 0;
  pos_ = end_ = 0;
  nul_from_ = nul_to_ = next_nul_ = 0;
  eof_ = false;
  last_progress = -1;
  return true;
}

MessageFile::~MessageFile() {
  std::free(buffer_);
}

void MessageFile::close() {
  file_.close();
}

void MessageFile::seek(int64_t offset) {
  if (offset < 0) offset = 0;
  if (offset >= base_ && offset <= base_ + static_cast<int64_t>(end_)) {
    pos_ = static_cast<std::size_t>(offset - base_);
    return;
  }
  file_.seek(static_cast<long>(offset), SEEK_SET);
  base_ = offset;
  pos_ = end_ = 0;
  nul_from_ = nul_to_ = next_nul_ = 0;
  eof_ = false;
}

// Makes at least `wanted` bytes available from pos_, unless the file ends.
bool MessageFile::fill(std::size_t wanted) {
  if (end_ - pos_ >= wanted) return true;
  if (eof_) return end_ > pos_;
  nul_from_ = nul_to_ = next_nul_ = 0;
  if (pos_ != 0) {
    std::memmove(buffer_, buffer_ + pos_, end_ - pos_);
    base_ += static_cast<int64_t>(pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  while (end_ < wanted && !eof_) {
    // Nothing behind the size the file had when it was opened: what a
    // writer adds meanwhile belongs to a later run.
    int64_t left = size_ - (base_ + static_cast<int64_t>(end_));
    std::size_t room = kBufferSize - end_;
    if (left < static_cast<int64_t>(room)) room = left > 0 ? static_cast<std::size_t>(left) : 0;
    std::size_t n = room == 0 ? 0 : file_.read(buffer_ + end_, room);
    if (n == 0) eof_ = true;
    end_ += n;
  }
  return end_ > pos_;
}

void MessageFile::scan_for_nul(std::size_t from) {
  nul_from_ = from;
  nul_to_ = end_;
  const void* nul = from < end_ ? std::memchr(buffer_ + from, '\0', end_ - from) : nullptr;
  next_nul_ =
      nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer_) : end_;
}

int MessageFile::get() {
  if (pos_ == end_ && !fill(1)) return -1;
  return static_cast<unsigned char>(buffer_[pos_++]);
}

std::string_view MessageFile::read_line_slow(std::size_t maximum) {
  if (!fill(maximum)) return {};
  std::size_t avail = std::min(end_ - pos_, maximum);
  const char* start = buffer_ + pos_;
  const void* lf = std::memchr(start, '\n', avail);
  std::size_t n =
      lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) + 1 : avail;
  pos_ += n;
  return std::string_view(start, n);
}

std::string_view MessageFile::read_bytes(std::size_t count) {
  if (count > kBufferSize / 2) count = kBufferSize / 2;
  if (!fill(count)) return {};
  std::size_t n = std::min(end_ - pos_, count);
  const char* start = buffer_ + pos_;
  pos_ += n;
  return std::string_view(start, n);
}

AreaLine read_area_line(TextReader& areas, long& line_number, SoupArea& area, bool quiet) {
  std::string_view piece;
  if (!areas.read_piece(kAreaLinePiece, piece)) return AreaLine::end_of_file;
  ++line_number;
  std::string_view line = line_text(piece);
  area.line.assign(line);
  std::size_t tab1 = line.find('\t');
  std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
  area.unknown_format = false;
  if (tab2 == std::string_view::npos) {
    if (!quiet) log_print("Error in line %ld in %s\n", line_number, "AREAS");
    return AreaLine::rejected;
  }
  // The prefix names a file in the SOUP directory and nowhere else.
  std::string_view prefix = line.substr(0, tab1);
  if (prefix.empty() || prefix.find_first_of("\\/") != std::string_view::npos || prefix == "." ||
      prefix == ".." || prefix.size() > SoupArea{}.prefix.capacity) {
    if (!quiet) log_print("Error in line %ld in %s\n", line_number, "AREAS");
    return AreaLine::rejected;
  }
  area.prefix.assign(prefix);
  area.area_name.assign(line.substr(tab1 + 1, tab2 - tab1 - 1));
  std::string_view encoding = line.substr(tab2 + 1);
  char format = encoding.size() > 0 ? encoding[0] : '\0';
  char kind = encoding.size() > 2 ? encoding[2] : '\0';
  bool known = true;
  switch (format) {
    case 'u':
      area.format = MessageFormat::rnews;
      area.kind = MessageKind::news;
      break;
    case 'm':
      area.format = MessageFormat::mailbox;
      area.kind = MessageKind::mail;
      break;
    case 'M':
      area.format = MessageFormat::mmdf;
      area.kind = MessageKind::mail;
      break;
    case 'b':
      area.format = MessageFormat::binary;
      area.kind = MessageKind::mail;
      break;
    case 'B':
      area.format = MessageFormat::binary;
      area.kind = MessageKind::news;
      break;
    default:
      known = false;
      break;
  }
  if (kind == 'm') area.kind = MessageKind::mail;
  if (kind == 'n') area.kind = MessageKind::news;
  if (equals_nocase(area.area_name.view(), "Email")) area.kind = MessageKind::mail;
  if (!known) {
    area.unknown_format = true;
    if (!quiet) log_print("Unknown message format in line %ld in %s\n", line_number, "AREAS");
    return AreaLine::rejected;
  }
  return AreaLine::area;
}

bool open_message_file(const SoupArea& area, long line_number, MessageFile& file,
                       std::string_view claimed) {
  if (line_number == 1) std::fputs("\n", stderr);
  log_print("Importing %s\n", area.area_name.c_str());
  PathText path;
  if (!claimed.empty()) {
    path.assign(claimed);
  } else if (!path.assign(settings->SoupDir.view()) || !path.append(area.prefix.view()) ||
             !path.append(".MSG")) {
    note_run_failure();
    log_print("Error reading %s%s.MSG (the name is too long)\n", settings->SoupDir.c_str(),
              area.prefix.c_str());
    return false;
  }
  if (!file.open(path)) {
    // A file that is not there holds nothing to lose (an interrupted run may
    // have consumed it already); one that is there but unreadable is kept.
    if (platform::file_exists(path)) note_run_failure();
    log_print("Error reading %s\n", path.c_str());
    return false;
  }
  return true;
}

void show_progress(const MessageFile& file) {
  int64_t size = file.size();
  int percent = size <= 0 ? 100
                          : static_cast<int>(static_cast<uint64_t>(file.tell()) * 100 /
                                             static_cast<uint64_t>(size));
  // The display changes only when the figure does, and is drawn only for
  // a person watching.
  if (percent == last_progress || !progress_display()) return;
  last_progress = percent;
  std::fprintf(stderr, "\r%d%%", percent);
}

namespace {

ExtentResult next_rnews(MessageFile& file, MessageExtent& extent) {
  std::string_view line = file.read_line();
  if (line.empty()) return ExtentResult::end_of_file;
  if (line.substr(0, kRnewsHeader.size()) != kRnewsHeader) return ExtentResult::format_error;
  std::string_view number = line.substr(kRnewsHeader.size());
  long count = 0;
  if (scan_signed(number, count) && count < 0) return ExtentResult::format_error;
  extent.start = file.tell();
  // A count beyond the file's end ends the message with the file.
  extent.end = std::min<int64_t>(extent.start + count, file.size());
  return ExtentResult::message;
}

ExtentResult next_mailbox(MessageFile& file, MessageExtent& extent) {
  std::string_view line = file.read_line();
  if (line.empty()) return ExtentResult::end_of_file;
  if (line.substr(0, kMailboxSeparator.size()) != kMailboxSeparator) {
    return ExtentResult::format_error;
  }
  extent.start = file.tell();
  for (;;) {
    int64_t noted = file.tell();
    line = file.read_line();
    if (line.empty()) {
      extent.end = file.tell();
      return ExtentResult::message;
    }
    if (line.substr(0, kMailboxSeparator.size()) == kMailboxSeparator) {
      extent.end = noted;
      return ExtentResult::message;
    }
  }
}

ExtentResult next_mmdf(MessageFile& file, MessageExtent& extent) {
  // Skips the separator runs, and the line end that closes a separator line.
  int c = file.get();
  while (c == 0x01) {
    while ((c = file.get()) == 0x01) {
    }
    if (c == '\r') {
      int64_t at = file.tell();
      if (file.get() == '\n') {
        c = file.get();
      } else {
        file.seek(at);
      }
    } else if (c == '\n') {
      c = file.get();
    }
  }
  if (c < 0) return ExtentResult::end_of_file;
  file.seek(file.tell() - 1);
  extent.start = file.tell();
  for (;;) {
    int64_t noted = file.tell();
    std::string_view line = file.read_line();
    if (line.empty()) {
      extent.end = file.tell();
      return ExtentResult::message;
    }
    std::size_t group = line.find(kMmdfSeparator);
    if (group != std::string_view::npos) {
      extent.end = noted + static_cast<int64_t>(group);
      return ExtentResult::message;
    }
  }
}

ExtentResult next_binary(MessageFile& file, MessageExtent& extent) {
  std::string_view bytes = file.read_bytes(4);
  if (bytes.empty()) return ExtentResult::end_of_file;
  if (bytes.size() < 4) return ExtentResult::format_error;  // a cut length field
  uint32_t length = 0;
  for (char b : bytes) length = (length << 8) | static_cast<unsigned char>(b);
  extent.start = file.tell();
  extent.end = extent.start + length;
  if ((length & 0x80000000u) != 0 || extent.end > file.size()) return ExtentResult::format_error;
  return ExtentResult::message;
}

}  // namespace

ExtentResult next_message_extent(MessageFile& file, MessageFormat format, MessageExtent& extent) {
  int64_t from = file.tell();
  ExtentResult r = ExtentResult::format_error;
  switch (format) {
    case MessageFormat::rnews:
      r = next_rnews(file, extent);
      break;
    case MessageFormat::mailbox:
      r = next_mailbox(file, extent);
      break;
    case MessageFormat::mmdf:
      r = next_mmdf(file, extent);
      break;
    case MessageFormat::binary:
      r = next_binary(file, extent);
      break;
  }
  // Every message lies behind the place the search started from, so the
  // reader always moves on.
  if (r == ExtentResult::message && (extent.start < from || extent.end < extent.start)) {
    return ExtentResult::format_error;
  }
  return r;
}

}  // namespace quillmar
