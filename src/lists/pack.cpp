#include "lists/pack.hpp"

#include <cstdio>

#include "base/file_helpers.hpp"
#include "base/log.hpp"
#include "base/run_options.hpp"
#include "base/run_status.hpp"
#include "base/text_helpers.hpp"
#include "lists/list_files.hpp"

namespace quillmar {

namespace {

// True when nothing is left to read.
bool at_file_end(platform::File& in) {
  int c = in.get_byte();
  if (c == EOF) return true;
  in.unget_byte();
  return false;
}

// A line as the verbose notes show it: its text (shortened so that the note
// fits one log message) and its line end.
Text<200> shown_line(const ListLine& line) {
  Text<200> out(line.text.view().substr(0, 150));
  out.append(line.end.empty() ? std::string_view("\n") : line.end.view());
  return out;
}

// The rewriting of one list file into a temporary file beside it.
class ListPacker {
 public:
  explicit ListPacker(ListRecord& list) : list_(list) {}

  // Opens the list (held against other writers until it has been replaced)
  // and the temporary file; false (reported) when either cannot be opened.
  bool open() {
    std::string_view path = list_.path;
    if (!in_.open(path, platform::OpenMode::read, platform::Share::deny_write)) {
      note_run_failure();
      log_print("! error opening %s for reading\n", list_.path.c_str());
      return false;
    }
    std::size_t sep = path.find_last_of("\\/");
    std::string_view dir =
        sep == std::string_view::npos ? std::string_view() : path.substr(0, sep + 1);
    if (!unique_prefixed_name(dir, "LIST", "TMP", temp_) ||
        !out_.open(temp_, platform::OpenMode::create_new, platform::Share::deny_write)) {
      in_.close();
      note_run_failure();
      log_print("! error opening %s for writing\n", temp_.c_str());
      return false;
    }
    return true;
  }

  // Copies the top part up to and including its "ListUsers" line; false
  // when the file has no user list.
  bool copy_top() {
    while (read_list_line(in_, line_, &out_)) {
      ++number_;
      if (!line_.end.empty() && !line_.cut && equals_nocase(line_.text, "ListUsers")) return true;
    }
    return false;
  }

  // Copies the current records and drops removed ones and stray lines.
  void pack_records() {
    at_end_ = false;
    while (!at_end_ && read_list_line(in_, line_)) {
      ++number_;
      char marker = line_.text.empty() ? '\0' : line_.text[0];
      if (marker == '*') {
        drop_removed_record();
      } else if (marker == '+') {
        // A marker with nothing after it is dropped.
        if (at_file_end(in_)) break;
        copy_current_record();
      } else {
        drop_stray_line();
      }
    }
  }

  // Puts the packed file in the list's place and reports what went.
  void finish() {
    bool read_failed = in_.read_failed();
    bool written = out_.close();
    if (read_failed || !written) {
      note_run_failure();
      log_print(read_failed ? "! error reading %s\n" : "! error writing %s\n",
                read_failed ? list_.path.c_str() : temp_.c_str());
      platform::remove_file(temp_);
      return;
    }
    if (removed_records_ == 0 && removed_lines_ == 0) {
      log_print("--> nothing to do\n");
    } else {
      log_print("--> removed %lu deleted user records\n    + %lu erroneous lines\n",
                removed_records_, removed_lines_);
    }
    // One step: the list keeps its data under its name whatever happens, and
    // its permissions (member passwords stay as private as they were).
    std::string_view path = list_.path;
    if (!platform::copy_permissions(path, temp_) || !platform::replace_file(temp_, path)) {
      note_run_failure();
      log_print("! error replacing %s by %s\n", list_.path.c_str(), temp_.c_str());
      platform::remove_file(temp_);
    }
  }

 private:
  void drop_removed_record() {
    for (int i = 0; i < 4; ++i) {
      if (!read_list_line(in_, data_)) {
        at_end_ = true;
        break;
      }
      ++number_;
      if (i == 0 && run_options.verbose) {
        log_print("* removed deleted user record %s", shown_line(data_).c_str());
      }
    }
    ++removed_records_;
  }

  void copy_current_record() {
    std::string_view eol = line_.end;
    out_.write("+");
    out_.write(eol);
    bool ended = true;  // the last line written ends in a line end
    for (int i = 0; i < 4; ++i) {
      if (read_list_line(in_, data_, &out_)) {
        ++number_;
        ended = !data_.end.empty();
        continue;
      }
      // The record is cut short by the end of the file: completed.
      if (!ended) out_.write(eol);
      for (; i < 4; ++i) {
        if (i == 2) out_.printf("%d", list_.NewStatus);
        out_.write(eol);
      }
      log_print("* extended partial user record at end of file\n");
      at_end_ = true;
    }
  }

  void drop_stray_line() {
    if (run_options.verbose) {
      log_print("* removed erroneous line %ld: %s", number_, shown_line(line_).c_str());
    }
    ++removed_lines_;
  }

  ListRecord& list_;
  platform::File in_;
  platform::File out_;
  PathText temp_;
  ListLine line_;
  ListLine data_;
  long number_ = 0;
  bool at_end_ = false;
  unsigned long removed_records_ = 0;
  unsigned long removed_lines_ = 0;
};

void pack_list(ListRecord& list) {
  close_user_file(list);
  ListPacker packer(list);
  if (!packer.open()) return;
  if (packer.copy_top()) packer.pack_records();
  packer.finish();
}

}  // namespace

void pack_lists() {
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
