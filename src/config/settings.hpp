// The one settings record of the run, filled by the configuration reader.
#pragma once

#include <cstdint>
#include <string>

#include "base/bounded_text.hpp"
#include "base/fixed_table.hpp"
#include "base/ftn_address.hpp"
#include "base/path_text.hpp"
#include "config/newsfix_settings.hpp"
#include "config/soupside_settings.hpp"
#include "platform/fs.hpp"

namespace quillmar {

struct AddrMapEntry {
  FtnAddress ftn_address;
  Text<128> internet_address;
  Text<128> reply_address;
  Text<128> fido_name;
};

// An Internet address whose mail may bring packets and mail bundles for the
// tosser, and the FidoNet node they come from.
struct PacketSenderEntry {
  Text<128> email;
  FtnAddress node;
};

struct AliasEntry {
  Text<128> email;
  Text<128> alias;
};

struct FidoDomainEntry {
  uint16_t zone_low = 0;
  uint16_t zone_high = 0;
  std::string domain;
};

enum class Direction : uint8_t { both = 0, import_only = 1, export_only = 2 };

struct AreaMapEntry {
  Text<128> area;
  Text<128> newsgroup;
  Direction direction = Direction::both;
};

struct RouteEntry {
  FtnAddress address;
  Text<128> email;
  Text<64> password;
  Text<128> subject;
};

struct MailingListEntry {
  Text<128> area;
  Text<128> list_address;
  Text<128> sender_address;
  Text<128> pattern;
  Text<128> truncate_text;
  Text<128> subject_tag;
};

struct CharSetMapEntry {
  std::string fido_name;
  std::string internet_name;
  Direction direction = Direction::both;
};

// The FidoNet charset of the messages of one area.
struct AreaCharsetEntry {
  Text<128> area;
  std::string charset;
};

struct QuoteCharEntry {
  char quote = 0;
  uint8_t first_column = 0;
  uint8_t last_column = 0;
  uint8_t least_letters = 0;
  uint8_t most_letters = 0;
};

enum class JunkCategory : uint8_t { email = 0, news = 1, all = 2, none = 3 };

struct JunkEntry {
  JunkCategory category = JunkCategory::all;
  std::string text;
};

struct TextEntry {
  std::string text;
};

enum class MailerType : uint8_t { none = 0, arcmail = 1, binkley = 2 };
enum class HeaderForm : uint8_t { name = 0, email = 1 };
enum class ExtraLines : uint8_t { names = 0, addresses = 1, none = 2 };
enum class EncodeFormat : uint8_t { mime = 0, uu = 1 };
enum class StripLevel : uint8_t { no = 0, yes = 1, some = 2 };
enum class KillOrigin : uint8_t { no = 0, yes = 1, email = 2 };
enum class FilterAction : uint8_t { ignore = 0, kill = 1, move = 2, junk = 3 };
enum class AttachAction : uint8_t { ignore = 0, decode = 1, kill = 2 };

// Message kinds index the per-kind settings.
inline constexpr int kKindMail = 0;
inline constexpr int kKindNews = 1;
inline constexpr int kKindList = 2;

inline constexpr std::size_t kMaxAddrMap = 1024;
inline constexpr std::size_t kMaxAlias = 1024;
inline constexpr std::size_t kMaxPacketSender = 256;
inline constexpr std::size_t kMaxFidoDomain = 256;
inline constexpr std::size_t kMaxAreaMap = 2048;
inline constexpr std::size_t kMaxRoute = 1024;
inline constexpr std::size_t kMaxMailingList = 1024;
inline constexpr std::size_t kMaxListConfig = 64;
inline constexpr std::size_t kMaxCharSetMap = 256;
inline constexpr std::size_t kMaxAreaCharset = 2048;
inline constexpr std::size_t kMaxQuoteChar = 256;
inline constexpr std::size_t kMaxQuoteMask = 256;
inline constexpr std::size_t kMaxJunkFrom = 4096;
inline constexpr std::size_t kMaxJunkSubj = 2048;
inline constexpr std::size_t kMaxJunkStr = 2048;
inline constexpr std::size_t kMaxJunkGroup = 512;
inline constexpr std::size_t kMaxIgnoreMessageText = 512;

struct Settings {
  // Gateway identity and address mapping.
  FtnAddress FidoAddr;
  FixedTable<AddrMapEntry, kMaxAddrMap> AddrMap;
  FixedTable<AliasEntry, kMaxAlias> Alias;
  bool MapFidoOrg = false;
  bool TransFidoOrg = false;
  FixedTable<FidoDomainEntry, kMaxFidoDomain> FidoDomain;
  uint16_t BaseZone = 0;
  // Incoming mail whose To field names nobody gets the FidoNet name of the
  // AddrMap entry that takes it.
  bool AddrMapToName = false;

  // Areas, routes and lists.
  Text<128> EmailArea;
  FixedTable<AreaMapEntry, kMaxAreaMap> AreaMap;
  FixedTable<RouteEntry, kMaxRoute> Route;
  FixedTable<MailingListEntry, kMaxMailingList> MailingList;
  std::size_t list_config_count = 0;

  // Mailer, directories and files.
  MailerType mailer_type = MailerType::none;
  PathText InboundDir;
  PathText OutboundDir;
  PathText NetmailDir;
  PathText DecodeDir;
  bool decode_all = false;
  // The only senders whose decoded packets and bundles reach the inbound
  // under names a tosser takes.
  FixedTable<PacketSenderEntry, kMaxPacketSender> PacketSender;
  PathText SoupDir;
  PathText TempDir;
  PathText LogFile;
  Text<32> TimeZone;
  Text<9> PacketPwd;
  // The lines that hold a password (PacketPwd, a list's ListPassword), for
  // CHECK to warn when every user may read their file.
  std::vector<SettingLine> secret_lines;
  bool QuickScan = false;
  bool ExportAllMail = false;
  bool SeparateMSG = false;
  // Minutes a packet without its closing zero word must have stood still
  // before EXPORT takes it (it may still be written); the age after which a
  // BinkleyTerm busy flag of the outbound counts as left behind.
  uint16_t PacketSettleTime = 10;
  uint16_t BusyFlagAge = 720;
  uint32_t MaxPKTSize = 0;
  uint32_t ImportLimit = 0;
  // Seconds a run waits for the run lock or a list file held by another
  // program before it gives up.
  uint32_t LockWait = 60;

  // Filtered mail areas and export limits.
  Text<128> OwnOrgArea;
  Text<128> JunkArea;
  // Netmail to a name that is no Internet address goes back to its writer.
  bool BounceUnaddressed = false;
  uint16_t ExportMaxTo = 0;
  uint16_t ExportMaxXPost = 0;

  // Message handling.
  HeaderForm header_form = HeaderForm::name;
  ExtraLines extra_lines = ExtraLines::none;
  Text<64> NoSpamText;
  Text<64> Origin;
  Text<128> Organization;
  Text<128> DefCharSet{"us-ascii"};
  FixedTable<CharSetMapEntry, kMaxCharSetMap> CharSetMap;
  bool UseQP = true;
  EncodeFormat encode_format = EncodeFormat::mime;
  bool QuoteTo = false;
  FixedTable<QuoteCharEntry, kMaxQuoteChar> QuoteChar;
  FixedTable<TextEntry, kMaxQuoteMask> QuoteMask;
  uint16_t LineWidth = 72;
  StripLevel StripKludges[3] = {StripLevel::no, StripLevel::no, StripLevel::no};
  bool StrictFidoMsgID = false;
  KillOrigin kill_origin = KillOrigin::no;

  // Today's mail: MIME structure, HTML, encoded words and charset
  // recoding; none of it unless ModernMime is on.
  bool ModernMime = false;
  std::string FidoCharset{"UTF-8"};  // FidoNet charset without an AreaCharset entry
  FixedTable<AreaCharsetEntry, kMaxAreaCharset> AreaCharset;
  std::string FallbackCharset{"windows-1252"};  // Internet mail that names no charset
  std::string ExportCharset{"UTF-8"};           // the Internet charset of exported text

  // Junk mail and own messages.
  FilterAction OwnOrgAction = FilterAction::ignore;
  FilterAction JunkAction = FilterAction::ignore;
  // A message killed by OwnOrgAction or JunkAction leaves no trace: not
  // counted as imported (the statistics count it as killed), and no packet
  // is kept for it alone. Off: it counts as imported and its packet stays.
  bool DropKilled = false;
  JunkCategory current_junk_category = JunkCategory::all;
  FixedTable<JunkEntry, kMaxJunkFrom> JunkFrom;
  FixedTable<JunkEntry, kMaxJunkSubj> JunkSubj;
  FixedTable<JunkEntry, kMaxJunkStr> JunkStr;
  FixedTable<JunkEntry, kMaxJunkGroup> JunkGroup;
  bool JunkFromTo = false;
  FixedTable<TextEntry, kMaxIgnoreMessageText> IgnoreMessageText;

  // Encoded files, indexed by message kind (mail, news).
  AttachAction Attach[2] = {AttachAction::decode, AttachAction::ignore};

  // The program that fetches and sends the SOUP packets.
  SoupSideSettings soup_side;

  // The robot that takes newsgroup requests by netmail.
  NewsFixSettings newsfix;
};

extern Settings* settings;

// Allocates the settings record and all its tables.
void allocate_settings();
// Gives the settings record back (tests start each case afresh).
void release_settings();
// Puts every setting back to its start value and empties the tables, whose
// storage stays (for callers that read many configurations in one process);
// allocates the record when there is none.
void reset_settings();

}  // namespace quillmar
