// What the fuzz targets share: the box (a scratch installation of the
// gateway in a temporary directory, emptied and set up again for every
// input), the settings record read from a fixed configuration, the guard
// around the file system calls, and the checks of the files the gateway
// writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::fuzz {

// Reports a broken promise of the code under test and aborts, so that
// libFuzzer keeps the input.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

enum class Mailer { binkley, arcmail };

// The box's path (no final separator); made on first use, removed at exit.
const std::string& box();
// The path of `name` inside the box.
std::string in_box(std::string_view name);

// Empties the box and writes the installation: the configuration
// QUILLMAR.CFG (the example installation's settings with `mailer`, followed
// by `extra_config`), the directories, the list file lists/DEV.CFG (unless
// `list_file` is given, which is written instead) and its template.
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

// The guard: while armed, the box is the working directory and a file
// created outside it is a fault.
void arm_sandbox(const std::string& box);
void disarm_sandbox();

// Runs `body` with the guard armed.
template <class Body>
void guarded(Body body) {
  arm_sandbox(box());
  body();
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

// The input split at its first occurrence of `separator` (the second part is
// empty without one).
std::pair<std::string_view, std::string_view> split_input(std::string_view input,
                                                          std::string_view separator);

}  // namespace quillmar::fuzz
