// Reading flowed text (RFC 3676): what a reader that knows the format
// shows of the lines a sender wrote.
#include <gtest/gtest.h>

#include "rfc/flowed_text.hpp"

namespace quillmar {
namespace {

TEST(FlowedText, SoftBrokenLinesAreJoinedIntoParagraphs) {
  struct Case {
    const char* label;
    const char* text;
    bool delsp;
    const char* shown;
  } cases[] = {
      {"soft breaks join", "one two \nthree \nfour\nfive\n", false, "one two three four\nfive\n"},
      {"DelSp removes the space of the break", "Donaudampf \nschiff.\n", true,
       "Donaudampfschiff.\n"},
      {"space-stuffing goes", " From here\n  indented\n >not a quote\n", false,
       "From here\n indented\n>not a quote\n"},
      {"quote depth kept", "> a \n> b\n>> c \n>> d\n", false, "> a b\n>> c d\n"},
      {"another depth ends a paragraph", "> a \n>> b\nc\n", false, "> a \n>> b\nc\n"},
      {"the signature separator stays", "text \n-- \nAnn\n", false, "text \n-- \nAnn\n"},
      {"empty quoted line", ">\n> x\n", false, ">\n> x\n"},
      {"CR LF line ends", "a \r\nb\r\n", false, "a b\n"},
      {"text ending in a soft break", "a \nb ", false, "a b \n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(unflow_text(c.text, c.delsp), c.shown) << c.label;
  }
}

}  // namespace
}  // namespace quillmar
