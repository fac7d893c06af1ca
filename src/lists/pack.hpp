// The PACK command: every list file rewritten without its removed member
// records and stray lines.
#pragma once

namespace quillmar {

void pack_lists();

}  // namespace quillmar
