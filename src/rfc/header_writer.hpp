// The one writer of Internet header lines: every message the gateway writes
// (the export's conversions, the list postings and the administrative
// replies) has its header written here. A value is written as it is given
// except that CR, LF and NUL become blanks, so that no text of a message,
// whatever its source, can end a header line or add one of its own.
#pragma once

#include <string>
#include <string_view>

#include "platform/fs.hpp"

namespace quillmar {

// A header value with every CR, LF and NUL turned into a blank, so that no
// value can end its header line and begin another one. Every value taken
// from a message or a list goes through here.
std::string header_value(std::string_view text);
void write_header_value(platform::File& out, std::string_view text);

// A date as the Date header writes it: "Www, DD Mon YYYY hh:mm:ss".
struct HeaderDate {
  int weekday = 0;  // 0 = Sunday
  int day = 1;
  int month = 0;  // 0 = January
  int year = 1970;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class HeaderWriter {
 public:
  explicit HeaderWriter(platform::File& out) : out_(out) {}

  // "Name: value" and the line end.
  void field(std::string_view name, std::string_view value);

  // A field written in pieces: its name and ": ", then values and the
  // writer's own text (separators, folding), then the line end.
  void start(std::string_view name);
  void value(std::string_view text);
  void raw(std::string_view text);
  // Text that an encoder folded: a line feed followed by a blank or a tab
  // stays as the fold it is; any other CR, LF or NUL becomes a blank.
  void folded(std::string_view text);
  void end();

  // "Date: Www, DD Mon YYYY hh:mm:ss" and " zone" when a zone is given.
  void date(const HeaderDate& d, std::string_view zone);

  // "X-MailConverter: Quillmar/W32 v1.04" or the same as X-MailServer:
  // the program that wrote the message.
  void program(std::string_view name);

  // The empty line that ends the header.
  void finish();

 private:
  platform::File& out_;
};

}  // namespace quillmar
