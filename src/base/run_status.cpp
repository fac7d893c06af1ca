#include "base/run_status.hpp"

namespace quillmar {

namespace {
bool failed = false;
}

void note_run_failure() {
  failed = true;
}

bool run_failed() {
  return failed;
}

}  // namespace quillmar
