// The history of the soup_nntp target as its input damages it (cut short,
// bytes written over it), and what collect promises about the history
// whatever it was.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmar::fuzz {

// The number of up to 19 digits `text` starts with, at most `maximum`.
uint64_t number_of(std::string_view text, uint64_t maximum);

struct HistoryDamage {
  bool has_cut = false;
  uint64_t cut = 0;
  std::vector<std::pair<uint64_t, std::string>> pokes;  // offset, bytes

  bool any() const { return has_cut || !pokes.empty(); }
  // Takes the settings word key=value when it is cut=N (the file cut to N
  // bytes) or poke=N:HEX (the bytes HEX written at offset N; up to 8).
  bool read_word(std::string_view key, std::string_view value);
  // Cuts and writes over soup/HISTORY.MDB of the box.
  void apply() const;
};

// After collect: a history is set aside only when it was damaged
// (`damaged`), and once; the one left opens whole and holds every
// Message-ID of the packet (`packet_ids`, one per article, empty where it
// has none) and, undamaged, those it held before (`before`); where it was
// set aside before any article came, the log counts every article taken
// without it.
void check_history_after_collect(const std::string& log, bool damaged,
                                 const std::vector<std::string>& before,
                                 const std::vector<std::string>& packet_ids);

}  // namespace quillmar::fuzz
