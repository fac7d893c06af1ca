// The keyword handlers of the settings of quillmar-soup.
#pragma once

#include "config/reader.hpp"

namespace quillmar {

void kw_soup_maildir(const ConfigLine& at);
void kw_soup_maildir_done(const ConfigLine& at);
void kw_soup_sendmail(const ConfigLine& at);
void kw_soup_refused_dir(const ConfigLine& at);
void kw_nntp_server(const ConfigLine& at);
void kw_nntp_port(const ConfigLine& at);
void kw_nntp_tls(const ConfigLine& at);
void kw_nntp_user(const ConfigLine& at);
void kw_nntp_pass_file(const ConfigLine& at);
void kw_nntp_ca_file(const ConfigLine& at);
void kw_nntp_group(const ConfigLine& at);
void kw_nntp_max_articles(const ConfigLine& at);

}  // namespace quillmar
