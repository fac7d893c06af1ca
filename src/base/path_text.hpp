// A path in a bounded text that holds as much as the OS takes.
#pragma once

#include "base/bounded_text.hpp"
#include "platform/fs.hpp"

namespace quillmar {

using PathText = Text<platform::kPathMax>;

}  // namespace quillmar
