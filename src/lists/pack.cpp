#include "lists/pack.hpp"

#include <cstdio>

#include "frame/file_helpers.hpp"
#include "frame/run.hpp"
#include "frame/run_status.hpp"
#include "frame/text_helpers.hpp"
#include "import/import_journal.hpp"
#include "lists/list_files.hpp"

namespace quillmar {

namespace {

// True when nothing is left to read.
bool at_file_end(platform::File& in) {
  int c = in.get_byte();
  if (c == EOF) return true;
  std::ungetc(c, in.handle());
  return false;
}

// A line as the verbose notes show it: its text (shortened so that the note
// fits one log message) and its line end.
Text<200> shown_line(const ListLine& line) {
  Text<200> out(line.text.view().substr(0, 150));
  out.append(line.end.empty() ? std::string_view("\n") : line.end.view());
  return out;
}

void pack_list(ListRecord& list) {
  close_user_file(list);
  std::string_view path = list.path;
  // The list is held against other writers until it has been replaced, so
  // that nothing they append goes into the old file.
  platform::File in;
  if (!in.open(path, platform::OpenMode::read, platform::Share::deny_write)) {
    note_run_failure();
    log_print("! error opening %s for reading\n", list.path.c_str());
    return;
  }
  std::size_t sep = path.find_last_of("\\/");
  std::string_view dir =
      sep == std::string_view::npos ? std::string_view() : path.substr(0, sep + 1);
  PathText temp;
  platform::File out;
  if (!unique_prefixed_name(dir, "LIST", "TMP", temp) ||
      !out.open(temp, platform::OpenMode::create_new, platform::Share::deny_write)) {
    in.close();
    note_run_failure();
    log_print("! error opening %s for writing\n", temp.c_str());
    return;
  }

  long number = 0;
  unsigned long removed_records = 0;
  unsigned long removed_lines = 0;
  ListLine line;
  ListLine data;
  bool users = false;
  while (read_list_line(in, line, &out)) {
    ++number;
    if (!line.end.empty() && !line.cut && equals_nocase(line.text, "ListUsers")) {
      users = true;
      break;
    }
  }
  bool at_end = !users;
  while (!at_end && read_list_line(in, line)) {
    ++number;
    char marker = line.text.empty() ? '\0' : line.text[0];
    if (marker == '*') {
      for (int i = 0; i < 4; ++i) {
        if (!read_list_line(in, data)) {
          at_end = true;
          break;
        }
        ++number;
        if (i == 0 && run_options.verbose) {
          log_print("* removed deleted user record %s", shown_line(data).c_str());
        }
      }
      ++removed_records;
    } else if (marker == '+') {
      // A marker with nothing after it is dropped.
      if (at_file_end(in)) break;
      std::string_view eol = line.end;
      out.write("+");
      out.write(eol);
      bool ended = true;  // the last line written ends in a line end
      for (int i = 0; i < 4; ++i) {
        if (read_list_line(in, data, &out)) {
          ++number;
          ended = !data.end.empty();
          continue;
        }
        // The record is cut short by the end of the file: completed.
        if (!ended) out.write(eol);
        for (; i < 4; ++i) {
          if (i == 2) out.printf("%d", list.NewStatus);
          out.write(eol);
        }
        log_print("* extended partial user record at end of file\n");
        at_end = true;
      }
    } else {
      if (run_options.verbose) {
        log_print("* removed erroneous line %ld: %s", number, shown_line(line).c_str());
      }
      ++removed_lines;
    }
  }

  bool read_failed = in.handle() != nullptr && std::ferror(in.handle()) != 0;
  bool written = out.close();
  if (read_failed || !written) {
    note_run_failure();
    log_print(read_failed ? "! error reading %s\n" : "! error writing %s\n",
              read_failed ? list.path.c_str() : temp.c_str());
    platform::remove_file(temp);
    return;
  }
  if (removed_records == 0 && removed_lines == 0) {
    log_print("--> nothing to do\n");
  } else {
    log_print("--> removed %lu deleted user records\n    + %lu erroneous lines\n", removed_records,
              removed_lines);
  }
  // One step: the list keeps its data under its name whatever happens, and
  // its permissions (member passwords stay as private as they were).
  if (!platform::copy_permissions(path, temp) || !platform::replace_file(temp, path)) {
    note_run_failure();
    log_print("! error replacing %s by %s\n", list.path.c_str(), temp.c_str());
    platform::remove_file(temp);
  }
}

}  // namespace

void pack_lists() {
  // List changes of an interrupted import are taken back (or committed)
  // before the lists are rewritten: their notes hold file positions.
  JournalState interrupted;
  if (!complete_interrupted_import(interrupted)) return;
  std::span<ListRecord> all = lists();
  if (all.empty()) {
    log_print("No lists are configured; cannot PACK\n");
    return;
  }
  int n = 0;
  for (ListRecord& list : all) {
    ++n;
    log_print("Packing list #%d: %s\n", n, list.ListName ? list.ListName->c_str() : "");
    pack_list(list);
  }
}

}  // namespace quillmar
