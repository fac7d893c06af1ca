// Classification and filtering of an imported Internet message, run by the
// import driver after the parse pass: commands and postings to the
// gateway's own mailing lists, the FidoNet area, messages of the gateway's
// own organisation and junk. Everything here works on the message record
// (`message_work.header`, the recipient and cross-post tables) and the settings;
// the driver keeps the statistics and calls the list commands.
#pragma once

#include <string_view>

#include "config/settings.hpp"
#include "soup/soup_reader.hpp"

namespace quillmar {

// List command numbers, as list_command takes them.
inline constexpr int kListSubscribe = 1;
inline constexpr int kListUnsubscribe = 2;
inline constexpr int kListChangePass = 3;

enum class ListTrafficKind { none, command, message };

struct ListTraffic {
  ListTrafficKind kind = ListTrafficKind::none;
  int list_index = -1;  // position in lists(), from 0
  int command = 0;      // kListSubscribe, kListUnsubscribe or kListChangePass
};

// Mail to the address of a ListConfig list (the first whose address equals
// `to_address`): a subject beginning with "subscribe", "unsubscribe" or
// "changepass" is a command, anything else a posting. A posting gets the
// category list, its list index and the list's area (empty without one).
// News is never list traffic. A command leaves the record unchanged.
ListTraffic classify_list_traffic(const SoupArea& area);

// Chooses the FidoNet area of a message that is not a list command: a list
// posting keeps the list's area; other mail goes to EmailArea or the area of
// the first matching MailingList entry, and IgnoreMessageText may suppress
// its text; news goes to the area named like its newsgroup or the one an
// AreaMap entry gives ("imp/exp" junk for an export-only entry). The area
// tag ends up in upper case.
void choose_area(const SoupArea& area);

// Applies an OwnOrgAction or JunkAction with its area: ignore leaves the
// message alone, move changes its area, junk also readdresses it to
// "JunkMail" keeping the former recipient name in `previous_to_name`.
// True for kill: the message is finished and nothing is written.
bool apply_action(FilterAction action, std::string_view area);

// A message whose Organization header is exactly the gateway's own
// Organization: the own-organisation flag is set, any junk reason and the
// mailing-list flag are cleared and OwnOrgAction is applied with
// OwnOrgArea. True when the message is finished (killed).
bool test_own_organisation();

struct FilterOutcome {
  bool finished = false;  // killed: nothing is written
  bool junk = false;      // the message has a junk reason; the junk counter grows
};

// The header junk tests (JunkFrom, JunkSubj, JunkGroup, JunkStr,
// JunkFromTo, first hit wins) while the message has no junk reason and is
// neither mailing-list nor own-organisation mail; then, for any junk
// reason (also one found earlier), JunkAction with JunkArea.
FilterOutcome test_junk(const SoupArea& area);

// The body junk test of one text line of mail: while the message has no
// junk reason, a JunkStr entry of category Email or All contained in the
// line makes it junk ("body").
void test_body_line(std::string_view line, MessageKind kind);

}  // namespace quillmar
