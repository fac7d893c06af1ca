#include "config/settings.hpp"

#include <cstdlib>
#include <new>
#include <utility>

namespace quillmar {

Settings* settings = nullptr;

namespace {

// Calls `f` with a pointer to each table member of the settings record.
template <class F>
void for_each_table(F&& f) {
  f(&Settings::AddrMap);
  f(&Settings::Alias);
  f(&Settings::PacketSender);
  f(&Settings::FidoDomain);
  f(&Settings::AreaMap);
  f(&Settings::Route);
  f(&Settings::MailingList);
  f(&Settings::CharSetMap);
  f(&Settings::AreaCharset);
  f(&Settings::QuoteChar);
  f(&Settings::QuoteMask);
  f(&Settings::JunkFrom);
  f(&Settings::JunkSubj);
  f(&Settings::JunkStr);
  f(&Settings::JunkGroup);
  f(&Settings::IgnoreMessageText);
}

}  // namespace

void allocate_settings() {
  settings = new (alloc_or_exit(sizeof(Settings))) Settings{};
  for_each_table([](auto table) { (settings->*table).allocate(); });
}

void release_settings() {
  if (settings == nullptr) return;
  for_each_table([](auto table) { (settings->*table).release(); });
  settings->~Settings();
  std::free(settings);
  settings = nullptr;
}

void reset_settings() {
  if (settings == nullptr) return allocate_settings();
  // The fresh record takes over the emptied tables with their storage.
  Settings fresh{};
  for_each_table([&fresh](auto table) {
    (settings->*table).clear();
    std::swap(fresh.*table, settings->*table);
  });
  *settings = std::move(fresh);
}

}  // namespace quillmar
