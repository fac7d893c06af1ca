// The report of a file decoded from an Internet message: a line on the
// console and in the log, a note in the FidoNet message where the file
// was, and the count of decoded files.
#pragma once

#include <string_view>

#include "platform/fs.hpp"

namespace quillmar {

enum class AttachmentEncoding { mime = 0, uu = 1 };
enum class AttachmentOutcome { ignored = 0, decoded = 1, killed = 2 };

// `category` is the message category (kKindMail, kKindNews or kKindList);
// the note goes into `packet` unless the text is suppressed. True when the
// file counts as one of the message file's files.
bool report_decoded_file(std::string_view shown_name, bool renamed, AttachmentEncoding encoding,
                         AttachmentOutcome outcome, long size, bool text_suppressed, int category,
                         platform::File& packet);

}  // namespace quillmar
