// HTML mail as readable plain text, by libxml2's HTML parser (opened when
// first needed; without it, the text between the tags).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// The lines of the UTF-8 HTML document `html` as plain text: paragraphs
// and headings separated by empty lines, line breaks kept, list items
// marked, quotations prefixed with "> ", links followed by their address
// in angle brackets, entities decoded, scripts, styles and tags gone;
// lines wrapped at `width` characters.
std::vector<std::string> html_to_text(std::string_view html, std::size_t width);

}  // namespace quillmar
