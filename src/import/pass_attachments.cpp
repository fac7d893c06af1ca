// The files a message carries in base64 or uuencoded blocks: their names,
// the decoding of their lines, and the report when they end.
#include "import/line_pass.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/char_class.hpp"
#include "base/charset.hpp"
#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/text_helpers.hpp"
#include "config/settings.hpp"
#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "fido/message_writer.hpp"
#include "fido/packet_layout.hpp"
#include "import/classify.hpp"
#include "import/decoded_file.hpp"
#include "import/import_journal.hpp"
#include "import/import_state.hpp"
#include "import/mime_render.hpp"
#include "import/packet_senders.hpp"
#include "rfc/header_values.hpp"
#include "rfc/mime_words.hpp"

namespace quillmar::line_pass {

namespace {

// The 64 characters of the standard base64 alphabet.
bool is_base64_char(char c) {
  return c != '-' && base64_value(static_cast<unsigned char>(c)) >= 0;
}

// The values of the characters of that alphabet, -1 for any other.
constexpr auto kMimeBase64Values = [] {
  std::array<signed char, 256> values{};
  for (std::size_t c = 0; c < values.size(); ++c) values[c] = kBase64Values[c];
  values['-'] = -1;
  return values;
}();

// A name from a message that may be used as a file name: no directory
// part, no control characters, not "." or "..".
bool is_safe_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (static_cast<unsigned char>(c) < 32 || c == 127) return false;
  }
  return true;
}

// "begin " and an octal number, as a number reader takes it: white space,
// a sign, then octal digits.
bool is_uu_begin(std::string_view line) {
  if (line.substr(0, 6) != "begin ") return false;
  std::size_t i = 6;
  while (i < line.size() && is_space(line[i])) ++i;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) ++i;
  return i < line.size() && line[i] >= '0' && line[i] <= '7';
}

// The decoded files named so far by a pass over the current message that
// does not write them: they are not on disk, but a later file of the same
// message must not be shown under one of their names.
std::vector<std::string> names_of_pass;

bool name_taken_in_pass(std::string_view path) {
  for (const std::string& n : names_of_pass) {
    if (equals_nocase(n, path)) return true;
  }
  return decoded_name_taken(path);
}

std::string_view trim_left(std::string_view s) {
  while (!s.empty() && is_space(s[0])) s.remove_prefix(1);
  return s;
}

}  // namespace

void forget_names_of_pass() {
  names_of_pass.clear();
}

// The path of a decoded file of this name in `dir`: the name itself, a
// generated one for a name that cannot be used, the next free one for a
// name that is taken (`renamed_`).
void MessagePass::choose_attachment_path(const PathText& dir, std::string_view name, bool safe) {
  const NameTaken taken = writing() ? decoded_name_taken : name_taken_in_pass;
  renamed_ = false;
  bool named = safe && attachment_path_.assign(dir.view()) && attachment_path_.append(name);
  if (named) replace_wildcard_name(attachment_path_, dir.size(), taken);
  if (!named && !unique_hex_name(dir.view(), "ATT", attachment_path_, taken)) {
    attachment_path_.clear();
  }
  if (taken(attachment_path_)) {
    renamed_ = true;
    // A name that cannot be counted up free gets a generated one.
    if (!bump_file_name(attachment_path_, taken) &&
        !unique_hex_name(dir.view(), "ATT", attachment_path_, taken)) {
      attachment_path_.clear();
    }
  }
}

// A file a tosser would take reaches the inbound under its name only from
// a PacketSender; a stranger's goes to DecodeDir, or where that is the
// inbound too, gets a name that no tosser takes.
void MessagePass::keep_packets_from_strangers(const PathText& dir, std::string_view name,
                                              bool safe) {
  const Settings& s = *settings;
  placement_ = PacketPlacement::elsewhere;
  checking_origin_ = false;
  if (attachment_path_.empty()) return;
  bool tosser_name =
      (safe && is_tosser_name(name)) || is_tosser_name(base_name(attachment_path_.view()));
  if (!tosser_name) return;
  bool apart = decode_dir_apart();
  if (&dir != &s.InboundDir && apart) return;
  packet_name_.assign(safe ? name : base_name(attachment_path_.view()));
  trust_ = packet_trust(*message_work.header, mail_area());
  if (trust_.sender != nullptr) {
    placement_ = PacketPlacement::inbound;
    // A packet (not a bundle, whose packets are packed) shows its origin:
    // it must be the PacketSender's node.
    checked_dir_ = &dir;
    checking_origin_ =
        writing() && name.size() > 4 && equals_nocase(name.substr(name.size() - 4), ".PKT");
    packet_head_size_ = 0;
    return;
  }
  place_strangers_file(dir, name, safe, apart);
}

// Where a stranger's file goes: into DecodeDir when that is apart, else
// into `dir` (the inbound) under a name that no tosser takes.
void MessagePass::place_strangers_file(const PathText& dir, std::string_view name, bool safe,
                                       bool apart) {
  const Settings& s = *settings;
  if (apart) {
    choose_attachment_path(s.DecodeDir, name, safe);
    placement_ = PacketPlacement::decode_dir;
    return;
  }
  choose_attachment_path(dir, name, safe);
  placement_ = PacketPlacement::renamed;
  const NameTaken taken = writing() ? decoded_name_taken : name_taken_in_pass;
  if (attachment_path_.append(kStrangerSuffix)) {
    if (!taken(attachment_path_)) return;
    renamed_ = true;
    if (bump_file_name(attachment_path_, taken)) return;
  }
  renamed_ = false;
  if (!unique_hex_name(dir.view(), "ATT", attachment_path_, taken)) {
    attachment_path_.clear();
  }
}

void MessagePass::start_attachment(DecodeState kind, std::string_view name) {
  const Settings& s = *settings;
  name = base_name(name);
  bool news = !mail_area();
  bool safe = is_safe_name(name);
  const PathText& dir =
      news ? s.DecodeDir
           : (s.decode_all && !(safe && is_mail_bundle_name(name)) ? s.DecodeDir : s.InboundDir);
  choose_attachment_path(dir, name, safe);
  keep_packets_from_strangers(dir, name, safe);
  state_ = kind;
  action_ = junk_reason_ != kJunkNone ? AttachAction::ignore : s.Attach[news ? 1 : 0];
  attachment_opened_ = false;
  decoded_ = 0;
  sextet_count_ = 0;
  padding_ = 0;
  base64_ended_ = false;
  base64_data_seen_ = false;
  if (writing() && action_ == AttachAction::decode) {
    attachment_opened_ =
        !attachment_path_.empty() && open_decoded_file(attachment_path_, attachment_);
    if (!attachment_opened_) action_ = AttachAction::ignore;
  }
  if (!writing() && action_ == AttachAction::decode && !attachment_path_.empty()) {
    names_of_pass.emplace_back(attachment_path_.view());
  }
  if (!writing() && action_ == AttachAction::decode && !news) {
    std::string_view shown = base_name(attachment_path_.view());
    if (attach_list_.size() + shown.size() + 1 < kAttachListMax + 1) {
      if (!attach_list_.empty()) attach_list_.push_back(' ');
      attach_list_.append(shown);
    }
    has_attachments_ = true;
  }
}

void MessagePass::finish_attachment() {
  if (state_ == DecodeState::text) return;
  if (writing() && state_ == DecodeState::base64) flush_base64();
  if (writing()) {
    bool failed = false;
    bool placed = false;
    if (attachment_opened_) {
      const bool unnamed = attachment_.unnamed();
      if (decoded_ == 0) {
        // An empty file is no file: one made without a name is gone with
        // the close.
        attachment_.close();
        if (!unnamed) remove_decoded_file();
      } else if (check_packet_origin() && keep_decoded_file(attachment_path_, attachment_)) {
        import_state.decoded_files.push_back(attachment_path_.view());
        placed = true;
      } else {
        // A file cut short is no file: it goes, and the message's input
        // stays. Nothing reports it decoded.
        log_print("! Error writing decoded file %s\n", attachment_path_.c_str());
        if (!unnamed) remove_decoded_file();
        ++import_state.decoding_failures;
        failed = true;
      }
    }
    AttachmentOutcome outcome = AttachmentOutcome::ignored;
    if (action_ == AttachAction::decode && attachment_opened_) outcome = AttachmentOutcome::decoded;
    if (action_ == AttachAction::kill) outcome = AttachmentOutcome::killed;
    if (!failed && report_decoded_file(base_name(attachment_path_.view()), renamed_,
                                       state_ == DecodeState::base64 ? AttachmentEncoding::mime
                                                                     : AttachmentEncoding::uu,
                                       outcome, decoded_, ignore_text_, category_, packet_->file)) {
      ++import_state.file_counters.files;
    }
    if (placed) {
      report_packet_placement(packet_name_, placement_, trust_, *message_work.header,
                              attachment_path_.view());
    }
  }
  attachment_opened_ = false;
  state_ = DecodeState::text;
  part_name_.clear();
}

void MessagePass::remove_decoded_file() {
  if (platform::file_exists(attachment_path_) && !platform::remove_file(attachment_path_)) {
    log_print("! cannot remove %s: %s\n", attachment_path_.c_str(), platform::last_error());
  }
}

void MessagePass::put_decoded(const unsigned char* bytes, std::size_t n) {
  if (checking_origin_ && packet_head_size_ < kPacketHeaderSize) {
    std::size_t k = std::min(n, kPacketHeaderSize - packet_head_size_);
    std::memcpy(packet_head_ + packet_head_size_, bytes, k);
    packet_head_size_ += k;
  }
  if (attachment_opened_ && n != 0) attachment_.write(bytes, n);
}

// A PacketSender's packet whose header names another origin than the
// sender's node is a stranger's: it goes where those go, under its new
// name (the file has none yet, or is renamed).
bool MessagePass::check_packet_origin() {
  if (!checking_origin_ || placement_ != PacketPlacement::inbound) return true;
  checking_origin_ = false;
  const FtnAddress& node = trust_.sender->node;
  std::string why;
  if (packet_head_size_ < kPacketHeaderSize) {
    why = "the file is too short for a packet";
  } else {
    FtnAddress origin = packet_header_origin(packet_head_);
    if (origin.net == node.net && origin.node == node.node && origin.point == node.point &&
        (origin.zone == 0 || origin.zone == node.zone)) {
      return true;
    }
    why = std::string("the packet comes from ") +
          ftn_address_text(origin, PointForm::when_set).c_str();
  }
  trust_.reason = std::string(message_work.header->from_address.view()) +
                  " is the PacketSender of " + ftn_address_text(node, PointForm::when_set).c_str() +
                  ", but " + why;
  trust_.sender = nullptr;
  PathText old_path = attachment_path_;
  place_strangers_file(*checked_dir_, packet_name_, true, decode_dir_apart());
  if (attachment_path_.empty()) return false;
  if (!attachment_.unnamed() && !platform::rename_file(old_path, attachment_path_)) {
    log_print("! cannot rename %s to %s: %s\n", old_path.c_str(), attachment_path_.c_str(),
              platform::last_error());
    return false;
  }
  return true;
}

// The lines of a block are one stream: characters outside the alphabet
// are skipped, a group of four characters gives three bytes, and padding
// ends the data.
void MessagePass::decode_base64(std::string_view line) {
  unsigned char out[3 * (kLineBuffer / 4 + 1)];
  std::size_t out_len = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(line.data());
  const std::size_t size = line.size();
  for (std::size_t i = 0; i < size; ++i) {
    if (base64_ended_) break;
    // Four characters of the alphabet at the start of a group are three
    // bytes at once.
    while (sextet_count_ == 0 && i + 4 <= size) {
      int a = kMimeBase64Values[in[i]];
      int b = kMimeBase64Values[in[i + 1]];
      int c = kMimeBase64Values[in[i + 2]];
      int d = kMimeBase64Values[in[i + 3]];
      if ((a | b | c | d) < 0) break;
      out[out_len] = static_cast<unsigned char>((a << 2) | (b >> 4));
      out[out_len + 1] = static_cast<unsigned char>(((b & 15) << 4) | (c >> 2));
      out[out_len + 2] = static_cast<unsigned char>(((c & 3) << 6) | d);
      out_len += 3;
      padding_ = 0;
      i += 4;
    }
    if (i >= size) break;
    char c = static_cast<char>(in[i]);
    if (c == '=') {
      // Padding that fills the last group ends the data; padding anywhere
      // else is skipped like any other stray character.
      if (sextet_count_ >= 2 && sextet_count_ + ++padding_ >= 4) {
        out_len += flush_group(out + out_len);
        base64_ended_ = true;
      }
      continue;
    }
    if (!is_base64_char(c)) continue;
    padding_ = 0;
    sextets_[sextet_count_++] = base64_value(static_cast<unsigned char>(c));
    if (sextet_count_ == 4) out_len += flush_group(out + out_len);
  }
  decoded_ += static_cast<long>(out_len);
  put_decoded(out, out_len);
}

// The bytes of the characters collected so far (two characters give one
// byte, three give two, four give three); the group starts anew.
std::size_t MessagePass::flush_group(unsigned char* out) {
  const int* v = sextets_;
  std::size_t n = sextet_count_ >= 2 ? static_cast<std::size_t>(sextet_count_ - 1) : 0;
  if (n >= 1) out[0] = static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4));
  if (n >= 2) out[1] = static_cast<unsigned char>(((v[1] & 15) << 4) | (v[2] >> 2));
  if (n >= 3) out[2] = static_cast<unsigned char>(((v[2] & 3) << 6) | v[3]);
  sextet_count_ = 0;
  return n;
}

// The end of a block without padding: the characters left make what
// bytes they can.
void MessagePass::flush_base64() {
  unsigned char out[3];
  std::size_t n = base64_ended_ ? 0 : flush_group(out);
  sextet_count_ = 0;
  decoded_ += static_cast<long>(n);
  put_decoded(out, n);
}

void MessagePass::decode_uu(std::string_view line, int count) {
  decoded_ += count;
  if (!attachment_opened_) return;
  unsigned char out[64 + 3];
  std::size_t out_len = 0;
  auto value = [&](std::size_t i) { return i < line.size() ? (line[i] - 32) & 63 : 0; };
  for (std::size_t i = 1; static_cast<int>(out_len) < count; i += 4) {
    int v[4] = {value(i), value(i + 1), value(i + 2), value(i + 3)};
    int b[3] = {(v[0] << 2) | (v[1] >> 4), ((v[1] & 15) << 4) | (v[2] >> 2),
                ((v[2] & 3) << 6) | v[3]};
    for (int k = 0; k < 3 && static_cast<int>(out_len) < count; ++k) {
      out[out_len++] = static_cast<unsigned char>(b[k]);
    }
  }
  put_decoded(out, out_len);
}

// A data line of the base64 or uuencoded file being decoded; false when
// the line is none (the file then ends before it) or no file is decoded.
bool MessagePass::take_encoded_line(std::string_view line) {
  if (state_ == DecodeState::base64 && action_ != AttachAction::ignore) {
    // Blank lines between a part's header and its data belong to neither.
    if (line.empty() && !base64_data_seen_) return true;
    if (!line.empty() && is_base64_char(line[0])) {
      base64_data_seen_ = true;
      if (writing()) decode_base64(line);
      if (line.size() >= 2 && line.substr(line.size() - 2) == "==") finish_attachment();
      return true;
    }
    finish_attachment();
  }
  if (state_ == DecodeState::uuencode && action_ != AttachAction::ignore) {
    char first = line.empty() ? '\0' : line[0];
    int count = (first - 32) & 63;
    // A lone blank is the empty last data line as older encoders write it.
    if (((first >= '!' && first <= '`') || line == " ") &&
        (static_cast<long>(line.size()) - 1) * 3 / 4 >= count) {
      if (writing()) decode_uu(line, count);
      return true;
    }
    finish_attachment();
    if (equals_nocase(line, "end")) return true;
  }
  return false;
}

// A "begin" line starts a uuencoded file; true when its lines are taken
// as the file's data rather than as text.
bool MessagePass::take_uu_begin(std::string_view line) {
  if (!is_uu_begin(line)) return false;
  finish_attachment();
  std::string_view name = line.size() > 9 ? trim_left(line.substr(9)) : std::string_view();
  start_attachment(DecodeState::uuencode, name.substr(0, 79));
  return action_ != AttachAction::ignore;
}

}  // namespace quillmar::line_pass
