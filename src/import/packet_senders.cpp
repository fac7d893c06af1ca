#include "import/packet_senders.hpp"

#include "base/char_class.hpp"
#include "base/ftn_address.hpp"
#include "base/log.hpp"
#include "base/text_helpers.hpp"
#include "platform/fs.hpp"

namespace quillmar {

namespace {

// The first two letters of the weekdays, which begin the extensions of
// ARCmail bundles.
constexpr std::string_view kBundleDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

}  // namespace

bool is_tosser_name(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  std::string_view ext = name.substr(dot + 1);
  if (ext.size() != 3) return false;
  if (equals_nocase(ext, "PKT") || equals_nocase(ext, "REQ") || equals_nocase(ext, "TIC")) {
    return true;
  }
  // Outbound packets and flow files of a BinkleyTerm-style outbound.
  if (equals_nocase(ext.substr(1), "UT") || equals_nocase(ext.substr(1), "LO")) return true;
  if (!is_alnum(ext[2])) return false;
  for (std::string_view day : kBundleDays) {
    if (equals_nocase(ext.substr(0, 2), day)) return true;
  }
  return false;
}

PacketTrust packet_trust(const MessageHeader& h, bool mail_area) {
  PacketTrust trust;
  std::string from(h.from_address.view());
  if (!mail_area) {
    trust.reason = "it came in a news article";
    return trust;
  }
  for (const PacketSenderEntry& e : settings->PacketSender) {
    if (e.email.empty() || !equals_nocase(e.email.view(), from)) continue;
    // A sender that is a Route's must give that Route's password too.
    for (const RouteEntry& route : settings->Route) {
      if (!equals_nocase(route.email.view(), from)) continue;
      if (!route.password.empty() && h.mail_password.view() != route.password.view()) {
        trust.reason = from + " gave a wrong Route password";
        return trust;
      }
      break;
    }
    trust.sender = &e;
    return trust;
  }
  trust.reason = (from.empty() ? std::string("the sender") : from) + " is no PacketSender";
  return trust;
}

bool decode_dir_apart() {
  const Settings& s = *settings;
  platform::FileIdentity decode, inbound;
  if (platform::file_identity(s.DecodeDir.view(), decode) &&
      platform::file_identity(s.InboundDir.view(), inbound)) {
    return decode.device != inbound.device || decode.inode != inbound.inode;
  }
  return platform::absolute_path(s.DecodeDir.view()) !=
         platform::absolute_path(s.InboundDir.view());
}

void report_packet_placement(std::string_view name, PacketPlacement placement,
                             const PacketTrust& trust, const MessageHeader& h,
                             std::string_view path) {
  if (placement == PacketPlacement::elsewhere) return;
  // Two lines: a log line holds at most 199 characters.
  std::string where = platform::shown_path(path);
  int n = static_cast<int>(name.size());
  if (placement == PacketPlacement::inbound) {
    log_print("* %.*s: from %s, the PacketSender of %s\n", n, name.data(), h.from_address.c_str(),
              ftn_address_text(trust.sender->node, PointForm::when_set).c_str());
    log_print("  so it is put into the inbound as %s\n", where.c_str());
    return;
  }
  log_print("* %.*s: %s\n", n, name.data(), trust.reason.c_str());
  if (placement == PacketPlacement::renamed) {
    log_print("  so it stays in the inbound as %s, a name no tosser takes\n", where.c_str());
  } else {
    log_print("  so it goes to DecodeDir as %s, not to the tosser\n", where.c_str());
  }
}

}  // namespace quillmar
