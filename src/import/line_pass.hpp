// The line loop that both passes over an Internet message run (see
// message_pass.hpp): the pass's state and the buffers it shares. The loop
// itself and the public entry points are in message_pass.cpp, the reading
// of lines in pass_reading.cpp, the MIME parameters, header fields and
// QuoteTo in pass_fields.cpp, the decoded files in pass_attachments.cpp,
// the FidoNet text in pass_output.cpp and the ModernMime rendering in
// pass_modern.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/bounded_text.hpp"
#include "base/log.hpp"
#include "base/path_text.hpp"
#include "config/settings.hpp"
#include "fido/message_record.hpp"
#include "fido/packet_layout.hpp"
#include "fido/packet_writer.hpp"
#include "import/mime_render.hpp"
#include "import/packet_senders.hpp"
#include "platform/fs.hpp"
#include "soup/soup_reader.hpp"

namespace quillmar::line_pass {

// One logical line: at most 32766 characters and the terminating NUL.
constexpr std::size_t kLineBuffer = 32767;
extern char* line_buffer;
// The FidoNet text of one line: its chunks with their kludge marks.
constexpr std::size_t kOutputBuffer = 2 * kLineBuffer;
extern char* output_buffer;
// The name of the file being decoded.
extern PathText shared_attachment_path;

// The lines of a message's own header as the parse pass read them (white
// space made single blanks), each with the file offset after it: the later
// passes over the same message take them from here instead of reading and
// unfolding them again. Kept for one message at a time, up to a bound.
struct HeaderLines {
  static constexpr std::size_t kMaxText = 64 * 1024;
  static constexpr std::size_t kMaxLines = 2048;
  bool valid = false;
  uint64_t generation = 0;  // of the message file
  int64_t start = 0;        // the message's extent
  int64_t end = 0;
  std::string text;
  struct Line {
    std::size_t text_end;
    int64_t file_offset;
  };
  std::vector<Line> lines;
  // What the MIME parameters of the header left at its end.
  struct MimeState {
    bool quoted_printable = false;
    bool base64_pending = false;
    bool parameter_scan = false;
    bool text_part = true;
    bool text_declared = false;
    Text<129> boundary;
    Text<81> part_name;
  } mime;

  std::string_view line(std::size_t i) const {
    std::size_t from = i == 0 ? 0 : lines[i - 1].text_end;
    return std::string_view(text).substr(from, lines[i].text_end - from);
  }
};
extern HeaderLines header_lines;

constexpr std::size_t kBodyWidth = 255;
constexpr std::size_t kHeaderWidth = 78;
constexpr std::size_t kLeastChunk = 33;
constexpr std::size_t kSplitReserve = 256;
constexpr std::size_t kAttachListMax = 71;
constexpr std::size_t kUuNameMax = 79;  // of the name on a "begin" line

// With ModernMime: the FidoNet charset (CHRS name) the passes write in,
// the one the parts were counted in, and whether the header fields have
// been recoded into it (they are collected as UTF-8).
extern std::string target_charset;
extern std::string counted_charset;
extern bool fields_recoded;

// The FidoNet charset of an area: its FidoCharset entry (by FidoNet area
// tag or SOUP area name), else the default.
std::string fido_charset_for(std::string_view area_tag, std::string_view soup_area);

// Whether a FidoNet charset is UTF-8.
bool is_utf8_charset(const std::string& charset);

// Reports that a text part of the current message labelled base64 is
// not base64, and is kept as text.
void report_wrong_base64();

// With ModernMime, once the FidoNet area is known: the charset of the
// area, its CHRS kludge, and the header fields recoded into it.
void prepare_modern_message(const SoupArea& area);

enum class Mode { parse, recount, write };
enum class DecodeState { text, base64, uuencode };

// Forgets the decoded files named by the last pass that did not write
// them; every pass over a message starts so.
void forget_names_of_pass();

// A body line of text without its line end and the blanks before it.
inline std::string_view text_of_line(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.remove_suffix(1);
  }
  return line;
}

class MessagePass {
 public:
  MessagePass(Mode mode, MessageFile& file, const MessageExtent& extent, const SoupArea& area)
      : mode_(mode), file_(file), end_(extent.end), area_(area) {
    if (line_buffer == nullptr) {
      line_buffer = static_cast<char*>(alloc_or_exit(kLineBuffer));
      output_buffer = static_cast<char*>(alloc_or_exit(kOutputBuffer));
    }
    file_.seek(extent.start);
    attachment_path_.clear();
    forget_names_of_pass();
    HeaderLines& kept = header_lines;
    if (collecting()) {
      // The lines are kept anew (not with ModernMime, whose passes take
      // them their own way).
      kept.valid = false;
      keeping_lines_ = !modern_;
      kept.generation = file.generation();
      kept.start = extent.start;
      kept.end = extent.end;
      kept.text.clear();
      kept.lines.clear();
    } else {
      taking_lines_ = !modern_ && kept.valid && kept.generation == file.generation() &&
                      kept.start == extent.start && kept.end == extent.end;
    }
  }

  // The write pass's own settings of the message.
  void set_output(OutPacket* packet, bool ignore_text, int category, bool own_org, int junk_reason,
                  const Text<128>* cut_marker) {
    packet_ = packet;
    ignore_text_ = ignore_text;
    category_ = category;
    own_org_ = own_org;
    junk_reason_ = junk_reason;
    cut_marker_ = cut_marker;
  }
  void set_category(int category, int junk_reason) {
    category_ = category;
    junk_reason_ = junk_reason;
  }

  void run();

  // The files this pass found to decode (parse and recount passes).
  const Text<72>& attach_list() const { return attach_list_; }
  bool has_attachments() const { return has_attachments_; }

 private:
  bool collecting() const { return mode_ == Mode::parse; }
  bool parse_has_what_it_needs();
  // Whether the write pass is in plain text, where a line of text needs no
  // more than its line end: no MIME parts, nothing being decoded, no cut
  // marker, no split size.
  bool plain_lines_ahead() const {
    return writing() && !modern_ && !ignore_text_ && state_ == DecodeState::text &&
           !quoted_printable_ && !base64_pending_ && boundary_.empty() && body_text_seen_ &&
           (cut_marker_ == nullptr || cut_marker_->empty()) && settings->ImportLimit == 0;
  }
  void write_plain_lines();
  bool write_plain_line(std::string_view line);
  bool writing() const { return mode_ == Mode::write; }
  bool mail_area() const { return area_.kind == MessageKind::mail; }
  std::size_t remaining() const {
    int64_t r = end_ - file_.tell();
    return r > 0 ? static_cast<std::size_t>(r) : 0;
  }

  // The steps of run(), defined beside it and inlined into it (message_pass.cpp).
  inline bool header_step();
  inline void end_header();
  inline bool body_step();
  inline void note_body_start(std::string_view line);
  inline bool at_cut_marker(std::string_view line) const;
  inline bool take_boundary(std::string_view line);
  inline bool next_header_line(std::string_view& line);
  inline void keep_or_take_mime_state();
  inline void handle_empty_line();
  std::string_view decode_quoted_printable(std::string_view line);
  bool take_encoded_line(std::string_view line);
  bool take_uu_begin(std::string_view line);
  void finish_parse();
  std::size_t read_raw(std::size_t at);
  std::string_view next_raw(std::size_t room);
  std::size_t copy_raw(std::string_view l, std::size_t at);
  bool read_header_line(std::string_view& line);
  bool read_body_line(std::string_view& line);
  bool next_item_line(std::string_view& line);
  void render_body();
  void modern_header_line(std::string_view line);
  std::string_view buffer_line(std::string_view text, bool utf8);
  void mime_scan(std::string_view line);
  void recognise_field(std::string_view line);
  void write_header_information();
  bool base64_block_is_text();
  void choose_attachment_path(const PathText& dir, std::string_view name, bool safe);
  void keep_packets_from_strangers(const PathText& dir, std::string_view name, bool safe);
  void place_strangers_file(const PathText& dir, std::string_view name, bool safe, bool apart);
  bool check_packet_origin();
  void start_attachment(DecodeState kind, std::string_view name);
  void finish_attachment();
  void decode_base64(std::string_view line);
  std::size_t flush_group(unsigned char* out);
  void flush_base64();
  void decode_uu(std::string_view line, int count);
  void put_decoded(const unsigned char* bytes, std::size_t n);
  void remove_decoded_file();  // the decoded file under its name, if any
  void body_text_line(std::string_view line);
  void quote_to(std::string_view line);
  void write_line(std::string_view line, bool header_line);
  void emit(std::string_view bytes);
  void emit_raw(std::string_view bytes);

  Mode mode_;
  bool modern_ = settings->ModernMime;
  std::string target_ = target_charset;
  bool target_utf8_ = is_utf8_charset(target_charset);
  std::string mime_type_;         // the message's own Content-Type value
  std::string mime_encoding_;     // and Content-Transfer-Encoding
  std::string mime_disposition_;  // and Content-Disposition
  std::vector<BodyItem> items_;
  std::size_t next_item_ = 0;
  std::size_t item_offset_ = 0;
  std::string note_;
  MessageFile& file_;
  int64_t end_;
  bool keeping_lines_ = false;  // the parse pass keeps the header's lines
  bool taking_lines_ = false;   // a later pass takes them
  bool line_was_kept_ = false;  // the current header line was a kept one
  std::size_t next_kept_line_ = 0;
  const SoupArea& area_;

  OutPacket* packet_ = nullptr;
  bool ignore_text_ = false;
  int category_ = kKindMail;
  bool own_org_ = false;
  int junk_reason_ = kJunkNone;
  const Text<128>* cut_marker_ = nullptr;

  bool in_header_ = true;
  bool header_ended_ = false;
  bool information_written_ = false;
  bool body_text_seen_ = false;
  bool end_asked_ = false;  // whether the parse pass may end early was asked
  bool cut_ = false;
  bool stop_ = false;
  long pending_blanks_ = 0;
  long written_ = 0;

  bool quoted_printable_ = false;
  bool base64_pending_ = false;
  bool parameter_scan_ = false;
  bool text_part_ = true;       // the part's Content-Type is text (or none)
  bool text_declared_ = false;  // and says so
  Text<129> boundary_;
  Text<81> part_name_;

  DecodeState state_ = DecodeState::text;
  AttachAction action_ = AttachAction::ignore;
  // Only one pass is at work at a time: they share the one path buffer.
  PathText& attachment_path_ = shared_attachment_path;
  bool renamed_ = false;
  // A file with a tosser's name: its name in the message, whether its
  // sender may bring it to the tosser, and where it goes.
  std::string packet_name_;
  PacketTrust trust_;
  PacketPlacement placement_ = PacketPlacement::elsewhere;
  // A PacketSender's packet: its header as decoded, to check its origin,
  // and the directory its place was chosen in.
  bool checking_origin_ = false;
  unsigned char packet_head_[kPacketHeaderSize] = {};
  std::size_t packet_head_size_ = 0;
  const PathText* checked_dir_ = nullptr;
  bool attachment_opened_ = false;
  platform::File attachment_;
  long decoded_ = 0;
  // The base64 stream of the block: characters not yet making a byte
  // group, and whether padding has ended the data.
  int sextets_[4] = {0, 0, 0, 0};
  int sextet_count_ = 0;
  int padding_ = 0;
  bool base64_ended_ = false;
  bool base64_data_seen_ = false;

  long quote_counter_ = 0;

  Text<72> attach_list_;
  bool has_attachments_ = false;
};

}  // namespace quillmar::line_pass
