#include "import/classify.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/run_options.hpp"
#include "config/reader.hpp"
#include "config/settings.hpp"
#include "fido/message_record.hpp"
#include "lists/list_files.hpp"
#include "lists/test_files.hpp"

namespace quillmar {
namespace {

using testing_support::TempDir;
using testing_support::write_file;

SoupArea mail_area() {
  SoupArea a;
  a.area_name = "Email";
  a.kind = MessageKind::mail;
  return a;
}

SoupArea news_area(const char* name) {
  SoupArea a;
  a.area_name = name;
  a.kind = MessageKind::news;
  return a;
}

void add_recipient(uint8_t kind, const char* address, const char* name = "") {
  Recipient* r = message_work.recipients.add();
  r->kind = kind;
  r->address = address;
  r->name = name;
}

template <class Table>
void add_junk(Table& table, JunkCategory category, const char* text) {
  JunkEntry* e = table.add();
  e->category = category;
  e->text = text;
}

MailingListEntry& add_mailing_list(const char* area, const char* pattern, const char* cut = "",
                                   const char* tag = "") {
  MailingListEntry* e = settings->MailingList.add();
  e->area = area;
  e->list_address = "list@lists.example.com";
  e->pattern = pattern;
  e->truncate_text = cut;
  e->subject_tag = tag;
  return *e;
}

class ClassifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (message_work.header == nullptr) allocate_message_work();
    run_options = RunOptions{};
    reset_lists();
    fresh();
  }
  void TearDown() override {
    reset_lists();
    release_settings();
  }

  // Settings with the run's default areas and a plain completed mail.
  void fresh() {
    release_settings();
    allocate_settings();
    settings->EmailArea = "NETMAIL";
    settings->OwnOrgArea = "ARCHIVES";
    settings->JunkArea = "JUNKMAIL";
    reset_message();
  }
  void reset_message() {
    reset_message_header();
    MessageHeader& h = *message_work.header;
    h.from_address = "alice@example.net";
    h.from_name = "Alice Sender";
    h.to_address = "joe@gate.example.org";
    h.to_name = "Joe User";
    h.reply_to_address = "alice@example.net";
    h.reply_to_name = "Alice Sender";
    h.subject = "Meeting on Tuesday";
  }

  // Loads a ListConfig list file.
  void add_list(const std::string& name, const std::string& text) {
    write_file(dir / name, text);
    read_list_config(dir / name, 1, dir / "QUILLMAR.CFG", dir / "quillmar");
  }

  TempDir dir;
};

// Commands and postings to the gateway's own lists.
TEST_F(ClassifyTest, ListAddressCommandsAndPostings) {
  add_list("DEV.CFG", "ListName Dev\nListAddress dev@gate.example.org\nListArea dev.talk\n");
  add_list("BARE.CFG", "ListName Bare\nListAddress bare@gate.example.org\n");
  ASSERT_EQ(lists().size(), 2u);

  struct Case {
    const char* to;
    const char* subject;
    bool news;
    ListTrafficKind kind;
    int list;
    int command;
    const char* area;  // area tag after choose_area
  };
  const Case cases[] = {
      {"dev@gate.example.org", "Unsubscribe", false, ListTrafficKind::command, 0, 2, ""},
      {"DEV@Gate.Example.ORG", "subscribe me and my friend", false, ListTrafficKind::command, 0, 1,
       ""},
      {"dev@gate.example.org", "changepass new-secret", false, ListTrafficKind::command, 0, 3, ""},
      {"dev@gate.example.org", "Re: subscribe", false, ListTrafficKind::message, 0, 0, "DEV.TALK"},
      {"dev@gate.example.org", "", false, ListTrafficKind::message, 0, 0, "DEV.TALK"},
      {"bare@gate.example.org", "Hello all", false, ListTrafficKind::message, 1, 0, ""},
      {"other@gate.example.org", "subscribe", false, ListTrafficKind::none, -1, 0, "NETMAIL"},
      {"dev@gate.example.org", "subscribe", true, ListTrafficKind::none, -1, 0, "COMP.MISC"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.to) + " / " + c.subject);
    reset_message();
    message_work.header->to_address = c.to;
    message_work.header->subject = c.subject;
    SoupArea area = c.news ? news_area("comp.misc") : mail_area();
    ListTraffic t = classify_list_traffic(area);
    EXPECT_EQ(t.kind, c.kind);
    EXPECT_EQ(t.list_index, c.list);
    EXPECT_EQ(t.command, c.command);
    if (c.kind == ListTrafficKind::command) {
      // A command is carried out elsewhere; the record is left as it was.
      EXPECT_EQ(message_work.header->list_index, -1);
      EXPECT_EQ(message_work.header->category, kKindMail);
      continue;
    }
    bool posting = c.kind == ListTrafficKind::message;
    EXPECT_EQ(message_work.header->list_index, posting ? c.list : -1);
    EXPECT_EQ(message_work.header->category, posting ? kKindList : kKindMail);
    choose_area(area);
    EXPECT_EQ(message_work.header->area_tag.view(), c.area);
  }
}

// A list posting keeps the list's area: the MailingList and
// IgnoreMessageText tests are not made for it.
TEST_F(ClassifyTest, ListPostingSkipsMailingListAndIgnoreText) {
  add_list("DEV.CFG", "ListName Dev\nListAddress dev@gate.example.org\nListArea dev.talk\n");
  add_mailing_list("OTHER.AREA", "dev@gate");
  settings->IgnoreMessageText.add()->text = "Alice";
  message_work.header->to_address = "dev@gate.example.org";
  ASSERT_EQ(classify_list_traffic(mail_area()).kind, ListTrafficKind::message);
  choose_area(mail_area());
  EXPECT_EQ(message_work.header->area_tag.view(), "DEV.TALK");
  EXPECT_FALSE(message_work.header->mailing_list);
  EXPECT_FALSE(message_work.header->ignore_text);
  EXPECT_EQ(message_work.header->cut_marker, nullptr);
}

TEST_F(ClassifyTest, MailingListMatchSetsAreaCutMarkerAndSubjectTag) {
  struct Case {
    const char* label;
    const char* field;  // where the pattern occurs
    const char* subject;
    const char* area;
    const char* subject_after;
    bool list;
  };
  const Case cases[] = {
      {"from address", "from_address", "[dev] Build broken", "DEV.LIST", "Build broken", true},
      {"sender header", "sender", "[dev] Build broken", "DEV.LIST", "Build broken", true},
      {"x-from header", "x_from", "Re: [dev] [dev] x", "DEV.LIST", "Re: [dev] x", true},
      {"tag in other case", "from_address", "[DEV] Build broken", "DEV.LIST", "[DEV] Build broken",
       true},
      {"cc recipient", "cc", "[dev] Build broken", "DEV.LIST", "[dev] Build broken", true},
      {"recipient name", "cc name", "[dev] Build broken", "DEV.LIST", "[dev] Build broken", true},
      {"no match", "", "[dev] Build broken", "NETMAIL", "[dev] Build broken", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fresh();
    const MailingListEntry& entry =
        add_mailing_list("dev.list", "DEV-L@lists.example.com", "-- end of dev", "[dev] ");
    add_mailing_list("second.list", "@lists.example.com");
    MessageHeader& h = *message_work.header;
    h.subject = c.subject;
    std::string field = c.field;
    if (field == "from_address") h.from_address = "dev-l@lists.example.com";
    if (field == "sender") h.sender = "owner-dev-l@lists.example.com (Owner)";
    if (field == "x_from") h.x_from = "dev-l@lists.example.com";
    if (field == "cc") add_recipient(kAddressCc, "dev-l@lists.example.com");
    if (field == "cc name") add_recipient(kAddressCc, "x@y.example", "dev-l@lists.example.com");
    choose_area(mail_area());
    EXPECT_EQ(h.area_tag.view(), c.area);
    EXPECT_EQ(h.subject.view(), c.subject_after);
    EXPECT_EQ(h.mailing_list, c.list);
    EXPECT_EQ(h.category, c.list ? kKindList : kKindMail);
    EXPECT_EQ(h.cut_marker, c.list ? &entry.truncate_text : nullptr);
    EXPECT_FALSE(h.ignore_text);
  }
}

TEST_F(ClassifyTest, MailingListFirstEntryWinsAndEmptyCutMarkerIsNone) {
  add_mailing_list("first", "example.net");
  add_mailing_list("second", "alice", "-- cut");
  choose_area(mail_area());
  EXPECT_EQ(message_work.header->area_tag.view(), "FIRST");
  EXPECT_EQ(message_work.header->cut_marker, nullptr);
}

TEST_F(ClassifyTest, IgnoreMessageTextWholeFieldAndContained) {
  struct Case {
    const char* entry;
    const char* from_name;
    const char* cc_name;
    bool ignored;
  };
  const Case cases[] = {
      {"*Bob", "bob", "", true},
      {"*Bob", "Bobby", "", false},
      {"Bob", "bob", "", true},
      {"Bob", "Bobby", "", true},
      // A recipient is searched with the entry as written, star and all.
      {"*Bob", "Alice", "Bob", false},
      {"*Bob", "Alice", "x*bob", true},
      {"Bob", "Alice", "Bobby", true},
      // A bare star has no text to compare: an empty subject is no match.
      {"*", "Alice", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " / " + c.from_name + " / " + c.cc_name);
    fresh();
    settings->IgnoreMessageText.add()->text = c.entry;
    message_work.header->from_name = c.from_name;
    message_work.header->subject.clear();
    if (*c.cc_name != '\0') add_recipient(kAddressCc, "carl@example.com", c.cc_name);
    choose_area(mail_area());
    EXPECT_EQ(message_work.header->ignore_text, c.ignored);
    EXPECT_EQ(message_work.header->area_tag.view(), "NETMAIL");
  }
}

TEST_F(ClassifyTest, IgnoreMessageTextFieldsAndMailingList) {
  // Sender and X-From are not among the fields searched.
  settings->IgnoreMessageText.add()->text = "robot";
  message_work.header->sender = "robot@example.net";
  message_work.header->x_from = "robot@example.net";
  choose_area(mail_area());
  EXPECT_FALSE(message_work.header->ignore_text);

  // The test is made after a MailingList match too.
  reset_message();
  add_mailing_list("dev", "example.net");
  message_work.header->subject = "Robot report";
  choose_area(mail_area());
  EXPECT_EQ(message_work.header->area_tag.view(), "DEV");
  EXPECT_TRUE(message_work.header->ignore_text);

  // News is never suppressed.
  reset_message();
  choose_area(news_area("comp.robots"));
  EXPECT_FALSE(message_work.header->ignore_text);
}

TEST_F(ClassifyTest, NewsAreaFromAreaMap) {
  auto add_map = [](const char* area, const char* group, Direction direction) {
    AreaMapEntry* e = settings->AreaMap.add();
    e->area = area;
    e->newsgroup = group;
    e->direction = direction;
  };
  add_map("C.ECHO", "Comp.Lang.C", Direction::both);
  add_map("C_EXPORT", "comp.lang.c", Direction::export_only);
  add_map("C_SECOND", "comp.lang.c", Direction::both);
  add_map("MISC.IN", "comp.misc", Direction::import_only);

  struct Case {
    const char* group;
    const char* area;
    int reason;
  };
  const Case cases[] = {
      {"comp.lang.c", "C_EXPORT", kJunkImpExp},  // newsgroup compared with case
      {"Comp.Lang.C", "C.ECHO", kJunkNone},
      {"comp.misc", "MISC.IN", kJunkNone},
      {"de.comp.misc", "DE.COMP.MISC", kJunkNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.group);
    reset_message();
    choose_area(news_area(c.group));
    EXPECT_EQ(message_work.header->area_tag.view(), c.area);
    EXPECT_EQ(message_work.header->junk_reason, c.reason);
    EXPECT_EQ(message_work.header->category, kKindMail);  // the driver sets news
  }
}

TEST_F(ClassifyTest, ExportOnlyAreaIsJunkUnlessOwnOrganisation) {
  AreaMapEntry* e = settings->AreaMap.add();
  e->area = "GATE.OUT";
  e->newsgroup = "gate.out";
  e->direction = Direction::export_only;
  settings->Organization = "Gate Example Org";
  settings->JunkAction = FilterAction::move;

  // Someone else's article: "imp/exp" junk, moved to the junk area.
  message_work.header->organization = "Gate Example Org.";
  choose_area(news_area("gate.out"));
  ASSERT_EQ(message_work.header->junk_reason, kJunkImpExp);
  EXPECT_FALSE(test_own_organisation());
  FilterOutcome o = test_junk(news_area("gate.out"));
  EXPECT_TRUE(o.junk);
  EXPECT_FALSE(o.finished);
  EXPECT_EQ(message_work.header->area_tag.view(), "JUNKMAIL");

  // The gateway's own article coming back: the reason is cleared.
  reset_message();
  message_work.header->organization = "Gate Example Org";
  choose_area(news_area("gate.out"));
  ASSERT_EQ(message_work.header->junk_reason, kJunkImpExp);
  EXPECT_FALSE(test_own_organisation());
  EXPECT_TRUE(message_work.header->own_org);
  EXPECT_EQ(message_work.header->junk_reason, kJunkNone);
  o = test_junk(news_area("gate.out"));
  EXPECT_FALSE(o.junk);
  EXPECT_EQ(message_work.header->area_tag.view(), "GATE.OUT");
}

TEST_F(ClassifyTest, OwnOrganisationNeedsExactText) {
  settings->Organization = "Gate Org";
  struct Case {
    const char* organization;
    bool own;
  };
  const Case cases[] = {{"Gate Org", true}, {"gate org", false}, {"Gate Org ", false}, {"", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.organization);
    reset_message();
    message_work.header->organization = c.organization;
    message_work.header->mailing_list = true;
    message_work.header->junk_reason = kJunkBody;
    EXPECT_FALSE(test_own_organisation());
    EXPECT_EQ(message_work.header->own_org, c.own);
    EXPECT_EQ(message_work.header->mailing_list, !c.own);
    EXPECT_EQ(message_work.header->junk_reason, c.own ? kJunkNone : kJunkBody);
  }

  // An empty Organization setting never matches a missing header.
  settings->Organization.clear();
  reset_message();
  EXPECT_FALSE(test_own_organisation());
  EXPECT_FALSE(message_work.header->own_org);
}

// The header junk tests with the categories of their entries.
TEST_F(ClassifyTest, JunkTestsByCategory) {
  enum List { kFrom, kSubj, kGroup, kStr };
  struct Case {
    List list;
    JunkCategory category;
    const char* text;
    bool news;
    int reason;
  };
  using C = JunkCategory;
  const Case cases[] = {
      {kFrom, C::all, "*@spam.example", false, kJunkFrom},
      {kFrom, C::all, "*@spam.example", true, kJunkFrom},
      {kFrom, C::email, "*@spam.example", false, kJunkFrom},
      {kFrom, C::email, "*@spam.example", true, kJunkNone},
      {kFrom, C::news, "*@spam.example", false, kJunkNone},
      {kFrom, C::news, "*@spam.example", true, kJunkFrom},
      {kFrom, C::none, "*@spam.example", false, kJunkFrom},
      {kFrom, C::none, "*@spam.example", true, kJunkFrom},
      {kFrom, C::all, "bulk@*", false, kJunkFrom},         // the reply-to address
      {kFrom, C::all, "*@example.net", false, kJunkNone},  // neither address
      {kSubj, C::all, "CHEAP", false, kJunkSubject},
      {kSubj, C::news, "cheap", false, kJunkNone},
      {kSubj, C::news, "cheap", true, kJunkSubject},
      {kSubj, C::none, "cheap", true, kJunkSubject},
      {kGroup, C::all, "ALT.SPAM", true, kJunkGroup},   // a cross-posted group
      {kGroup, C::all, "Comp.Misc", true, kJunkGroup},  // the area's own group
      {kGroup, C::all, "alt.spa", true, kJunkNone},     // equality, not containment
      {kGroup, C::email, "alt.spam", true, kJunkNone},
      {kStr, C::all, "pills", false, kJunkBody},
      {kStr, C::email, "pills", true, kJunkNone},
      {kStr, C::none, "pills", true, kJunkBody},
      {kStr, C::all, "no such words", false, kJunkNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + (c.news ? " news " : " mail ") +
                 std::to_string(static_cast<int>(c.category)) + " list " +
                 std::to_string(static_cast<int>(c.list)));
    fresh();
    MessageHeader& h = *message_work.header;
    h.from_address = "seller@spam.example";
    h.reply_to_address = "bulk@mailer.example";
    h.subject = "Cheap pills for you";
    message_work.cross_posts.add()->assign("alt.spam");
    Settings& s = *settings;
    if (c.list == kFrom) add_junk(s.JunkFrom, c.category, c.text);
    if (c.list == kSubj) add_junk(s.JunkSubj, c.category, c.text);
    if (c.list == kGroup) add_junk(s.JunkGroup, c.category, c.text);
    if (c.list == kStr) add_junk(s.JunkStr, c.category, c.text);
    SoupArea area = c.news ? news_area("comp.misc") : mail_area();
    FilterOutcome o = test_junk(area);
    EXPECT_EQ(h.junk_reason, c.reason);
    EXPECT_EQ(o.junk, c.reason != kJunkNone);
    EXPECT_FALSE(o.finished);
  }
}

TEST_F(ClassifyTest, JunkTestsRunInOrderFirstHitWins) {
  Settings& s = *settings;
  MessageHeader& h = *message_work.header;
  h.from_address = "joe@gate.example.org";  // same as the recipient
  h.subject = "Cheap pills";
  message_work.cross_posts.add()->assign("alt.spam");
  add_junk(s.JunkFrom, JunkCategory::all, "joe@*");
  add_junk(s.JunkSubj, JunkCategory::all, "cheap");
  add_junk(s.JunkGroup, JunkCategory::all, "alt.spam");
  add_junk(s.JunkStr, JunkCategory::all, "pills");
  s.JunkFromTo = true;

  const int expected[] = {kJunkFrom, kJunkSubject, kJunkGroup, kJunkBody, kJunkFromTo};
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    h.junk_reason = kJunkNone;
    test_junk(mail_area());
    EXPECT_EQ(h.junk_reason, expected[i]);
    if (i == 0) s.JunkFrom.clear();
    if (i == 1) s.JunkSubj.clear();
    if (i == 2) s.JunkGroup.clear();
    if (i == 3) s.JunkStr.clear();
  }
  s.JunkFromTo = false;
  h.junk_reason = kJunkNone;
  EXPECT_FALSE(test_junk(mail_area()).junk);
}

TEST_F(ClassifyTest, JunkFromToMailOnly) {
  struct Case {
    const char* from;
    const char* reply_to;
    bool news;
    int reason;
  };
  const Case cases[] = {
      {"JOE@gate.example.org", "alice@example.net", false, kJunkFromTo},
      {"alice@example.net", "joe@GATE.example.org", false, kJunkFromTo},
      {"joe@gate.example.org", "joe@gate.example.org", true, kJunkNone},
      {"alice@example.net", "alice@example.net", false, kJunkNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " " + c.reply_to + (c.news ? " news" : " mail"));
    fresh();
    settings->JunkFromTo = true;
    message_work.header->from_address = c.from;
    message_work.header->reply_to_address = c.reply_to;
    test_junk(c.news ? news_area("comp.misc") : mail_area());
    EXPECT_EQ(message_work.header->junk_reason, c.reason);
  }
}

TEST_F(ClassifyTest, JunkTestsSkippedForListsOwnOrgAndEarlierReason) {
  add_junk(settings->JunkSubj, JunkCategory::all, "meeting");
  struct Case {
    const char* label;
    bool mailing_list;
    bool own_org;
    int reason_before;
    int reason_after;
  };
  const Case cases[] = {
      {"plain", false, false, kJunkNone, kJunkSubject},
      {"mailing list", true, false, kJunkNone, kJunkNone},
      {"own organisation", false, true, kJunkNone, kJunkNone},
      {"body hit first", false, false, kJunkBody, kJunkBody},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    reset_message();
    message_work.header->mailing_list = c.mailing_list;
    message_work.header->own_org = c.own_org;
    message_work.header->junk_reason = c.reason_before;
    FilterOutcome o = test_junk(mail_area());
    EXPECT_EQ(message_work.header->junk_reason, c.reason_after);
    // A reason found before, by the body test, still gets the junk action.
    EXPECT_EQ(o.junk, c.reason_after != kJunkNone);
  }
}

// The four actions, for junk and for the gateway's own messages.
TEST_F(ClassifyTest, ActionsForJunkAndOwnOrganisation) {
  struct Case {
    FilterAction action;
    bool finished;
    const char* area;
    const char* to_name;
    const char* previous;
  };
  const Case junk_cases[] = {
      {FilterAction::ignore, false, "NETMAIL", "Joe User", ""},
      {FilterAction::kill, true, "NETMAIL", "Joe User", ""},
      {FilterAction::move, false, "JUNKMAIL", "Joe User", ""},
      {FilterAction::junk, false, "JUNKMAIL", "JunkMail", "Joe User"},
  };
  for (const Case& c : junk_cases) {
    SCOPED_TRACE("junk " + std::to_string(static_cast<int>(c.action)));
    fresh();
    settings->JunkAction = c.action;
    add_junk(settings->JunkFrom, JunkCategory::all, "alice@*");
    choose_area(mail_area());
    EXPECT_FALSE(test_own_organisation());
    FilterOutcome o = test_junk(mail_area());
    EXPECT_TRUE(o.junk);
    EXPECT_EQ(o.finished, c.finished);
    EXPECT_EQ(message_work.header->junk_reason, kJunkFrom);
    EXPECT_EQ(message_work.header->area_tag.view(), c.area);
    EXPECT_EQ(message_work.header->to_name.view(), c.to_name);
    EXPECT_EQ(message_work.header->previous_to_name.view(), c.previous);
  }

  const Case own_cases[] = {
      {FilterAction::ignore, false, "NETMAIL", "Joe User", ""},
      {FilterAction::kill, true, "NETMAIL", "Joe User", ""},
      {FilterAction::move, false, "ARCHIVES", "Joe User", ""},
      {FilterAction::junk, false, "ARCHIVES", "JunkMail", "Joe User"},
  };
  for (const Case& c : own_cases) {
    SCOPED_TRACE("own org " + std::to_string(static_cast<int>(c.action)));
    fresh();
    settings->OwnOrgAction = c.action;
    settings->JunkAction = FilterAction::kill;
    settings->Organization = "Gate Org";
    add_junk(settings->JunkFrom, JunkCategory::all, "alice@*");
    message_work.header->organization = "Gate Org";
    choose_area(mail_area());
    EXPECT_EQ(test_own_organisation(), c.finished);
    EXPECT_TRUE(message_work.header->own_org);
    if (!c.finished) {
      FilterOutcome o = test_junk(mail_area());
      EXPECT_FALSE(o.junk);
      EXPECT_FALSE(o.finished);
    }
    EXPECT_EQ(message_work.header->junk_reason, kJunkNone);
    EXPECT_EQ(message_work.header->area_tag.view(), c.area);
    EXPECT_EQ(message_work.header->to_name.view(), c.to_name);
    EXPECT_EQ(message_work.header->previous_to_name.view(), c.previous);
  }
}

TEST_F(ClassifyTest, BodyLineTest) {
  using C = JunkCategory;
  struct Case {
    C category;
    bool news;
    int reason_before;
    int reason_after;
  };
  const Case cases[] = {
      {C::all, false, kJunkNone, kJunkBody},  {C::email, false, kJunkNone, kJunkBody},
      {C::news, false, kJunkNone, kJunkNone}, {C::none, false, kJunkNone, kJunkNone},
      {C::all, true, kJunkNone, kJunkNone},   {C::all, false, kJunkFrom, kJunkFrom},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.category)) + (c.news ? " news" : " mail"));
    fresh();
    add_junk(settings->JunkStr, C::all, "unrelated words");
    add_junk(settings->JunkStr, c.category, "Make Money Fast");
    message_work.header->junk_reason = c.reason_before;
    test_body_line("You can MAKE MONEY FAST from home!\n",
                   c.news ? MessageKind::news : MessageKind::mail);
    EXPECT_EQ(message_work.header->junk_reason, c.reason_after);
  }

  // A line without any entry leaves the message alone.
  fresh();
  add_junk(settings->JunkStr, C::all, "Make Money Fast");
  test_body_line("An ordinary line\n", MessageKind::mail);
  test_body_line("", MessageKind::mail);
  EXPECT_EQ(message_work.header->junk_reason, kJunkNone);

  // A body hit is cleared again by the own-organisation test.
  settings->Organization = "Gate Org";
  message_work.header->organization = "Gate Org";
  test_body_line("make money fast", MessageKind::mail);
  ASSERT_EQ(message_work.header->junk_reason, kJunkBody);
  test_own_organisation();
  EXPECT_EQ(message_work.header->junk_reason, kJunkNone);
}

// Entries as the configuration file gives them: the junk category current
// at each line, the MailingList cut and subject texts and the list files.
TEST_F(ClassifyTest, SettingsFromConfigurationFile) {
  write_file(dir / "DEV.CFG",
             "ListName Dev\nListAddress dev@gate.example.org\nListArea dev.talk\n");
  write_file(
      dir / "QUILLMAR.CFG",
      "JunkSubj viagra\n"
      "JunkCategory News\n"
      "JunkSubj cheap\n"
      "JunkCategory None\n"
      "JunkStr money fast\n"
      "JunkCategory Email\n"
      "JunkFrom *@spam.example\n"
      "JunkAction junk\n"
      "MailingList dev.list dev-l@lists.example.com dev-l@lists  TRUNCATE=-- cut ;SUBJ:[dev]\n"
      "IgnoreMessageText *Bob\n"
      "ListConfig " +
          (dir / "DEV.CFG") + "\n");
  register_list_keywords();
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(read_config(dir / "QUILLMAR.CFG", dir / "quillmar"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  settings->JunkArea = "JUNKMAIL";
  settings->EmailArea = "NETMAIL";
  MessageHeader& h = *message_work.header;

  // Classifies the current message as the driver does; the junk outcome.
  auto classify = [&](const SoupArea& area) {
    ListTraffic t = classify_list_traffic(area);
    EXPECT_NE(t.kind, ListTrafficKind::command);
    choose_area(area);
    EXPECT_FALSE(test_own_organisation());
    return test_junk(area).junk;
  };

  // The entry before any JunkCategory line is for everything.
  h.subject = "Viagra";
  EXPECT_TRUE(classify(mail_area()));
  EXPECT_EQ(h.junk_reason, kJunkSubject);
  EXPECT_EQ(h.area_tag.view(), "JUNKMAIL");
  EXPECT_EQ(h.to_name.view(), "JunkMail");
  EXPECT_EQ(h.previous_to_name.view(), "Joe User");

  // A News entry: mail is not junk, news is.
  reset_message();
  h.subject = "Cheap offer";
  EXPECT_FALSE(classify(mail_area()));
  EXPECT_EQ(h.area_tag.view(), "NETMAIL");
  reset_message();
  h.subject = "Cheap offer";
  EXPECT_TRUE(classify(news_area("comp.misc")));

  // A None entry: in the subject test of mail, but not in the body test.
  reset_message();
  test_body_line("make money fast\n", MessageKind::mail);
  EXPECT_FALSE(classify(mail_area()));
  reset_message();
  h.subject = "Make money fast";
  EXPECT_TRUE(classify(mail_area()));
  EXPECT_EQ(h.junk_reason, kJunkBody);

  // An Email entry: not for news.
  reset_message();
  h.from_address = "boss@spam.example";
  EXPECT_FALSE(classify(news_area("comp.misc")));
  EXPECT_EQ(h.area_tag.view(), "COMP.MISC");

  // The mailing list: area, cut text and subject tag.
  reset_message();
  h.from_address = "dev-l@lists.example.com";
  h.subject = "[dev] release";
  EXPECT_FALSE(classify(mail_area()));
  EXPECT_EQ(h.area_tag.view(), "DEV.LIST");
  ASSERT_NE(h.cut_marker, nullptr);
  EXPECT_EQ(h.cut_marker->view(), "-- cut");
  EXPECT_EQ(h.subject.view(), " release");

  // The ListConfig list and the whole-field ignore entry.
  reset_message();
  h.to_address = "dev@gate.example.org";
  h.from_name = "Bob";
  EXPECT_FALSE(classify(mail_area()));
  EXPECT_EQ(h.area_tag.view(), "DEV.TALK");
  EXPECT_FALSE(h.ignore_text);
  reset_message();
  h.from_name = "Bob";
  EXPECT_FALSE(classify(mail_area()));
  EXPECT_TRUE(h.ignore_text);
}

}  // namespace
}  // namespace quillmar
