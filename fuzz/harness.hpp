// What the fuzz targets share: the box (a scratch installation of the
// gateway in a RAM directory, built once and made the installation again
// for every input), the settings record read from a fixed configuration,
// the guard around the file system calls, and the checks of the files the
// gateway writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "soup/reply.hpp"
#include "target.hpp"

namespace quillmar::fuzz {

// Reports a broken promise of the code under test and aborts, so that
// libFuzzer keeps the input.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The input being run (a file of the kept corpus when replayed), named by
// fail() and by a sanitizer's report; empty under libFuzzer.
void set_current_input(std::string name);
// While on, the gateway's console output goes nowhere (the replay).
void quiet_output(bool on);

enum class Mailer { binkley, arcmail };

// The box's path (no final separator); made on first use, removed at exit.
const std::string& box();
// The path of `name` inside the box.
std::string in_box(std::string_view name);

// Makes the box the installation: the configuration QUILLMAR.CFG (the
// example installation's settings with `mailer`, followed by
// `extra_config`; "./" in them stands for the box), the directories, the list file lists/DEV.CFG
// (unless `list_file` is given, which is written instead) and its template. Whatever an earlier
// input left is removed; the configuration is written only when it is not the one there.
void reset_box(Mailer mailer = Mailer::binkley, std::string_view extra_config = {},
               const std::string* list_file = nullptr);

void write_file(std::string_view name, std::string_view data);
std::string read_file(std::string_view name);
// The names in a box directory, sorted.
std::vector<std::string> list_dir(std::string_view name);

// Fresh global state: run options, settings with the gateway's start-up
// defaults read from `config` (a name in the box), message work, reply
// files, lists. False when the configuration could not be read.
bool load_settings(std::string_view config = "QUILLMAR.CFG");

// The same for a run on the box's installation as reset_box() left it: the
// settings are read again only when QUILLMAR.CFG was written since they
// were last read; the list file is always loaded again.
bool start_run();

// The guard: while armed, the box is the working directory and a file
// created outside it is a fault.
void arm_sandbox(const std::string& box);
void disarm_sandbox();

// The settings of quillmar-soup that its targets add: the Maildir and its
// keeping Maildir, the directory of refused replies (all in temp/) and a
// sendmail command (see soupside_fakes.hpp).
inline constexpr const char* kSoupSideConfig =
    "SoupMaildir ./temp/maildir/\nSoupMaildirDone ./temp/done/\n"
    "SoupRefusedDir ./temp/refused/\nSoupSendmail sendmail -i -t\n";

// The set-up of the targets that export in memory: the box with
// `mailer` and `extra_config`, its settings, the export's work fields, the
// reply files named and their listing held (no journal), so that what an
// input writes into them can be checked and taken back with an ExportMark.
void start_fast_export(Mailer mailer, std::string_view extra_config);

// The list file as the installation has it, loaded afresh (the lists of
// the settings read before).
void reload_list(const std::string* list_file = nullptr);

// Runs `body` with the guard armed.
template <class Body>
void guarded(Body body) {
  arm_sandbox(box());
  body();
  disarm_sandbox();
}

// Runs a command's `body` as a run does: guarded, with the directory
// listings kept while it works.
void cache_listings(bool on);
template <class Body>
void as_run(Body body) {
  arm_sandbox(box());
  cache_listings(true);
  body();
  cache_listings(false);
  disarm_sandbox();
}

// Runs EXPORT on the box with the guard armed, then checks the reply
// packet and the box.
void export_and_check();

// Every loaded list indexes as many members as it counts; returns the
// members of all lists.
long check_list_index();

// The box holds nothing but the installation and `extra` (top-level names).
void check_box_top(std::initializer_list<std::string_view> extra = {});

// A FidoNet packet: the 58-byte header of type 2, packed messages of type
// 2 with their four texts within their lengths, and the closing zero word
// as the last two bytes. A message split into parts carries them in order
// (SPLIT kludges numbered 1 to n). Returns the number of messages.
std::size_t check_packet(std::string_view data, std::string_view name);
// Every *.PKT file of a box directory; returns the number of messages.
std::size_t check_packets_in(std::string_view dir);

// The reply packet of the SOUP directory: every file REPLIES lists exists,
// is of a known kind and its 4-byte lengths add up to its size exactly;
// every reply message file that holds messages is listed; every message
// begins with a well-formed header. Returns the number of messages.
std::size_t check_replies();

// The framed reply messages of a reply file (a box name) from byte
// `offset` on: lengths within the file, each message beginning with a
// well-formed header. Returns the number of messages.
std::size_t check_reply_file(std::string_view name, uint64_t offset = 0);

// The reply messages written since `mark` (the streams settled): the rest
// of each current reply file and the files finished since. Returns the
// number of messages.
std::size_t check_replies_since(const ReplyMark& mark);

// The input split at its first occurrence of `separator` (the second part is
// empty without one).
std::pair<std::string_view, std::string_view> split_input(std::string_view input,
                                                          std::string_view separator);

// Between the files of an input that holds several.
inline constexpr std::string_view kPartSeparator("\0==\0", 4);
// The input cut at every separator; `count` parts (the missing ones empty,
// the last one holding the rest).
std::vector<std::string_view> split_parts(std::string_view input, std::size_t count,
                                          std::string_view separator = kPartSeparator);

}  // namespace quillmar::fuzz
