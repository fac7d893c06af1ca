// What counts as an Internet mail address, and the addresses of a list of
// recipients: the one test that the export and quillmar-soup deliver make
// before a mail goes out.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// Whether `text` is an Internet mail address (an addr-spec): a local part
// of atoms joined by dots, or a quoted string, then "@" and a domain of
// labels joined by dots, or a domain literal in brackets. No blanks around
// it, no display name, no angle brackets.
bool is_internet_address(std::string_view text);

// The recipients named by an address list (the value of a To, Cc or Bcc
// field): for each element the text in its angle brackets, or the element
// without its comments and outer blanks; the members of a group count as
// elements. Empty elements are left out.
std::vector<std::string> recipient_addresses(std::string_view list);

// Why a mail (header and body, lines ended by line feeds) must not be
// handed to a mail program that takes its recipients from the header: a
// To, Cc or Bcc recipient that is not an Internet address, or none at all.
// Empty when every recipient is an address.
std::string mail_recipient_problem(std::string_view message);

}  // namespace quillmar
