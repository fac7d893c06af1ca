#include "base/run_options.hpp"

namespace quillmar {

RunOptions run_options;

}  // namespace quillmar
