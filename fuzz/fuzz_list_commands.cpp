// List commands and postings, in memory: the input is a mail (header and
// body) to the address of the configured list. It is parsed as the
// import's first pass does and classified; a command changes the list file
// and answers, a posting goes to the members. The list file is loaded
// afresh for every input and the reply files are cut back after it.
// Afterwards the list file loads again with the members the run counted.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fido/address_mapping.hpp"
#include "fido/message_record.hpp"
#include "harness.hpp"
#include "import/classify.hpp"
#include "import/message_pass.hpp"
#include "lists/distribution.hpp"
#include "lists/list_commands.hpp"
#include "lists/list_files.hpp"
#include "soup/soup_reader.hpp"

using namespace quillmar;
using namespace quillmar::fuzz;

QUILLMAR_FUZZ_TARGET(list_commands) {
  static int seen = -1;
  static MessageFile* file = new MessageFile;
  if (setup_needed(seen)) start_fast_export(Mailer::binkley, {});
  std::string message = "To: quillmar-dev@example.org\n";
  message.append(reinterpret_cast<const char*>(data), size);
  write_file("soup/MSG00001.MSG", message);
  reload_list();
  if (lists().size() != 1) fail("the list file does not load");

  SoupArea area;
  area.prefix = "MSG00001";
  area.area_name = "Email";
  area.format = MessageFormat::binary;
  area.kind = MessageKind::mail;
  const MessageExtent extent{0, static_cast<int64_t>(message.size())};
  ReplyMark mark = reply_mark();
  const long failures_before = list_failures();
  guarded([&] {
    if (!file->open(in_box("soup/MSG00001.MSG"))) fail("the message file could not be opened");
    parse_message(*file, extent, area);
    MessageHeader& h = *message_work.header;
    select_chrs();
    complete_header(area);
    long replies = 0;
    ListTraffic traffic = classify_list_traffic(area);
    if (traffic.kind == ListTrafficKind::command) {
      list_command(lists()[static_cast<std::size_t>(traffic.list_index)], traffic.command,
                   ListRequest{h, replies});
    } else {
      choose_area(area);
      apply_recipient_name_rule();
      map_import_addresses(h.mailing_list);
      bool finished = test_own_organisation() || test_junk(area).finished;
      if (!finished && h.list_index >= 0) {
        ListRecord& list = lists()[static_cast<std::size_t>(h.list_index)];
        distribute_posting(list, *file, h.body_offset, extent.end, ListRequest{h, replies});
      }
    }
    file->close();
    for (ListRecord& list : lists()) close_user_file(list);
  });
  if (list_failures() != failures_before) fail("a list change could not be made");
  if (!settle_reply_streams()) fail("the reply files could not be written");
  check_replies_since(mark);
  reply_rollback(mark);

  // The list file as the next run finds it.
  long members = check_list_index();
  reset_lists();
  read_list_config(in_box("lists/DEV.CFG"), 0, in_box("QUILLMAR.CFG"), in_box("quillmar"));
  if (lists().size() != 1) fail("the list file no longer loads");
  long loaded = check_list_index();
  if (loaded != members)
    fail("the run counted %ld members, the list file has %ld", members, loaded);
  return 0;
}
