#include "config/settings.hpp"

#include <new>

namespace quillmar {

Settings* settings = nullptr;

void allocate_settings() {
  settings = new (alloc_or_exit(sizeof(Settings))) Settings{};
  Settings& s = *settings;
  s.AddrMap.allocate();
  s.Alias.allocate();
  s.FidoDomain.allocate();
  s.AreaMap.allocate();
  s.Route.allocate();
  s.MailingList.allocate();
  s.CharSetMap.allocate();
  s.QuoteChar.allocate();
  s.QuoteMask.allocate();
  s.JunkFrom.allocate();
  s.JunkSubj.allocate();
  s.JunkStr.allocate();
  s.JunkGroup.allocate();
  s.IgnoreMessageText.allocate();
}

}  // namespace quillmar
