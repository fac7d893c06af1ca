// The body of an Internet message as a reader sees it: the MIME structure
// taken apart into lines of text (UTF-8) and files to save.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

struct BodyItem {
  bool file = false;
  std::string text;  // a line of text, or the file's name (may be empty)
  std::string data;  // the file's bytes
};

struct RenderOptions {
  std::string fallback_charset;  // for 8-bit text without a usable charset
  std::size_t html_width = 72;
};

// What the rendering found wrong with the mail (and mended).
struct RenderFindings {
  int wrong_base64 = 0;  // text parts labelled base64 that are text, kept as such
};

// Renders a body whose own header gave `content_type`,
// `transfer_encoding` and `disposition` (any may be empty): every
// multipart level is split at its own boundary; text/plain parts, in any
// transfer encoding, become lines; of a multipart/alternative only the
// plain text (else the HTML) is shown, and the files of the others
// (inline images) are saved; HTML becomes plain text; a message/rfc822
// part shows its From, Date and Subject and then its body; every other
// part, a part sent as an attachment with a file name (the whole message
// too) and a named text part whose bytes are no text, becomes a file. No
// boundary line or part header is among the lines. `findings` gets what
// was wrong with the mail.
std::vector<BodyItem> render_mime_body(std::string_view content_type,
                                       std::string_view transfer_encoding,
                                       std::string_view disposition, std::string_view body,
                                       const RenderOptions& options,
                                       RenderFindings* findings = nullptr);

}  // namespace quillmar
