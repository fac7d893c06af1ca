#include "import/statistics.hpp"

namespace quillmar {

ImportCounters file_counters;

}  // namespace quillmar
