// The stand-in for the sendmail command of quillmar-soup: the fuzz programs
// are linked with --wrap for platform::run_with_input (the form with a
// finishing callback), so that deliver's calls come here while the stand-in
// is on. No process is started: each mail handed over is kept, and the
// command's exit status is the next one of `statuses` (0 once they are used
// up). The callback runs as the helper process would run it.
#pragma once

#include <string>
#include <vector>

namespace quillmar::fuzz {

struct FakeSendmail {
  bool on = false;
  std::vector<int> statuses;
  std::size_t next_status = 0;
  std::vector<std::string> accepted;  // the mails taken with status 0
  std::vector<std::string> refused;   // the mails refused (a status of sysexits.h that does)
};

FakeSendmail& fake_sendmail();

}  // namespace quillmar::fuzz
