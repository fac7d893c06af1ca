// The keyword handlers of the settings of quillmar-soup.
#pragma once

#include <string_view>

#include "config/reader.hpp"

namespace quillmar {

void kw_soup_maildir(const ConfigLine& at);
void kw_soup_maildir_done(const ConfigLine& at);
void kw_soup_sendmail(const ConfigLine& at);
void kw_soup_refused_dir(const ConfigLine& at);
void kw_nntp_server(const ConfigLine& at);
void kw_nntp_post_server(const ConfigLine& at);
void kw_nntp_port(const ConfigLine& at);
void kw_nntp_tls(const ConfigLine& at);
void kw_nntp_user(const ConfigLine& at);
void kw_nntp_pass_file(const ConfigLine& at);
void kw_nntp_ca_file(const ConfigLine& at);
void kw_nntp_group(const ConfigLine& at);
void kw_nntp_max_articles(const ConfigLine& at);
void kw_nntp_max_article_size(const ConfigLine& at);
void kw_nntp_first_fetch(const ConfigLine& at);
void kw_nntp_timeout(const ConfigLine& at);
void kw_soup_sendmail_timeout(const ConfigLine& at);
void kw_soup_bounce_address(const ConfigLine& at);
void kw_soup_history_days(const ConfigLine& at);

// The server that takes the posts: the one NntpPostServer names, else the
// first; nullptr when there is none (or NntpPostServer names none).
const NntpServerSettings* find_post_server(const SoupSideSettings& s);

// Reports a directory (a path ending in a separator) that does not exist,
// with the keyword of its setting.
using RequireDirectory = void (*)(std::string_view dir, const char* keyword);

// CHECK's look at what quillmar-soup will need: the directories of the
// Soup* settings (a Maildir with its new/ and cur/) go to
// `require_directory`, except a Maildir that does not exist yet, which is a
// warning (collect takes the news without it); the password file of a login, the authorities'
// file, a server for the news replies are warned about as the reader warns
// about a line (on standard error, with the keyword and value of the line
// concerned). The number of warnings is returned.
int report_soup_side_problems(RequireDirectory require_directory);

}  // namespace quillmar
