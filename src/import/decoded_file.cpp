#include "import/decoded_file.hpp"

#include <cstdio>

#include "base/log.hpp"
#include "config/settings.hpp"

namespace quillmar {

namespace {

constexpr const char* kOutcomeWords[] = {"ignored", "decoded", "killed"};
constexpr const char* kEncodingWords[] = {"MIME", "UU"};

}  // namespace

bool report_decoded_file(std::string_view shown_name, bool renamed, AttachmentEncoding encoding,
                         AttachmentOutcome outcome, long size, bool text_suppressed, int category,
                         platform::File& packet) {
  int setting_kind = category == kKindNews ? kKindNews : kKindMail;
  if (settings->Attach[setting_kind] == AttachAction::ignore) return false;
  // An empty decoded file is removed again by the decoder.
  if (outcome == AttachmentOutcome::decoded && size == 0) return false;
  const char* word = kOutcomeWords[static_cast<int>(outcome)];
  const char* coding = kEncodingWords[static_cast<int>(encoding)];
  const char* marker = renamed ? " (auto-renamed)" : "";
  int name_length = static_cast<int>(shown_name.size());
  progress_return();
  log_print("* %s %s-encoded file %.*s (%ld bytes)%s\n", word, coding, name_length,
            shown_name.data(), size, marker);
  if (outcome != AttachmentOutcome::ignored && !text_suppressed) {
    packet.printf("[Quillmar %s %s-encoded file %.*s (%ld bytes)%s]\r\n", word, coding, name_length,
                  shown_name.data(), size, marker);
  }
  return true;
}

}  // namespace quillmar
