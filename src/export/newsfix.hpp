// NewsFix, the robot of the FidoNet side: a netmail to the gateway's own
// address whose To name is the robot's name (NewsFixName, "NewsFix") is a
// command message. It is never sent to the Internet; its commands change
// the subscriptions (newsfix_commands.cpp) and the robot answers with a
// netmail to the writer, in a packet for the tosser in InboundDir.
//
// Nothing twice: the new subscriptions file and the answers' packet are
// written under temporary names (NEWSFIX.SNT in SoupDir, NEWSFIX.NFT in
// InboundDir) just before the run commits, and put in place by the commit
// of EXPORT's journal, with the consumption of the command messages. A run
// killed before its commit leaves only the temporary files, which the next
// run removes before it reads the command messages again.
#pragma once

#include <cstddef>
#include <string_view>

#include "platform/fs.hpp"

namespace quillmar {

// Starts the robot's run (after the journal has started): forgets the last
// run and removes what a killed run left.
void newsfix_start();

// Whether the message of `export_state.message`, whose kludges have been
// read (its area is `area`), is a command message.
bool newsfix_is_command(std::string_view area);

// Carries out the command message whose text starts at the current
// position of `in`; `reply_to` is its MSGID (empty when it has none). `in`
// is left after the NUL that ends the text. When the robot cannot work
// (its files cannot be read) the message's source is marked to be kept.
void newsfix_take_command(platform::File& in, std::string_view reply_to);

// The number of command messages this run answered.
std::size_t newsfix_answer_count();

// Where a source began, and taking the robot's work back to it.
struct NewsFixMark {
  std::size_t changes = 0;
  std::size_t answers = 0;
};
NewsFixMark newsfix_mark();
void newsfix_rollback(const NewsFixMark& mark);

// Puts the run's answers and subscriptions on disk under their temporary
// names and notes their installation in the journal; to be called right
// before journal_commit. False (reported) when they could not be written:
// the run must then not commit.
bool newsfix_prepare_commit();

}  // namespace quillmar
