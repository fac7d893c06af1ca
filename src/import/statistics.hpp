// The import's statistics counters, per message file and for the run.
#pragma once

namespace quillmar {

struct ImportCounters {
  long imported = 0;
  long mail = 0;
  long news = 0;
  long lists = 0;
  long junk = 0;
  long personal = 0;
  long own_org = 0;
  long files = 0;
  long ignored_text = 0;
  long list_messages = 0;
  long list_commands = 0;
  long replies = 0;
  // Killed by OwnOrgAction or JunkAction under DropKilled (not imported).
  long killed = 0;
};

}  // namespace quillmar
