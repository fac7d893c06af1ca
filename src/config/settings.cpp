#include "config/settings.hpp"

#include <cstdlib>
#include <new>

namespace quillmar {

Settings* settings = nullptr;

namespace {

template <class F>
void for_each_table(Settings& s, F&& f) {
  f(s.AddrMap);
  f(s.Alias);
  f(s.FidoDomain);
  f(s.AreaMap);
  f(s.Route);
  f(s.MailingList);
  f(s.CharSetMap);
  f(s.AreaCharset);
  f(s.QuoteChar);
  f(s.QuoteMask);
  f(s.JunkFrom);
  f(s.JunkSubj);
  f(s.JunkStr);
  f(s.JunkGroup);
  f(s.IgnoreMessageText);
}

}  // namespace

void allocate_settings() {
  settings = new (alloc_or_exit(sizeof(Settings))) Settings{};
  for_each_table(*settings, [](auto& table) { table.allocate(); });
}

void release_settings() {
  if (settings == nullptr) return;
  for_each_table(*settings, [](auto& table) { table.release(); });
  settings->~Settings();
  std::free(settings);
  settings = nullptr;
}

}  // namespace quillmar
