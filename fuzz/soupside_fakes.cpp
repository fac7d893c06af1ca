#include "soupside_fakes.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.hpp"
#include "soupside/deliver.hpp"

namespace quillmar::fuzz {

FakeSendmail& fake_sendmail() {
  static FakeSendmail fake;
  return fake;
}

}  // namespace quillmar::fuzz

using quillmar::platform::CommandResult;
using Finish = std::function<void(const CommandResult&)>;

// The linker's names for the wrapped function and the real one.
using Words = std::vector<std::string>;
CommandResult
real_run_with_input(const Words& words, std::string_view input, int timeout_seconds, const Finish& finish) __asm__(
    "__real__ZN8quillmar8platform14run_with_inputERKSt6vectorINSt7__cxx1112basic_stringIcSt11char_"
    "tra"
    "itsIcESaIcEEESaIS7_EESt17basic_string_viewIcS5_EiRKSt8functionIFvRKNS0_13CommandResultEEE");
CommandResult
wrapped_run_with_input(const Words& words, std::string_view input, int timeout_seconds, const Finish& finish) __asm__(
    "__wrap__ZN8quillmar8platform14run_with_inputERKSt6vectorINSt7__cxx1112basic_stringIcSt11char_"
    "tra"
    "itsIcESaIcEEESaIS7_EESt17basic_string_viewIcS5_EiRKSt8functionIFvRKNS0_13CommandResultEEE");

CommandResult wrapped_run_with_input(const Words& words, std::string_view input,
                                     int timeout_seconds, const Finish& finish) {
  quillmar::fuzz::FakeSendmail& fake = quillmar::fuzz::fake_sendmail();
  if (!fake.on) return real_run_with_input(words, input, timeout_seconds, finish);
  CommandResult result;
  result.started = true;
  result.exit_code =
      fake.next_status < fake.statuses.size() ? fake.statuses[fake.next_status++] : 0;
  if (result.exit_code == 0) {
    fake.accepted.emplace_back(input);
  } else if (quillmar::sendmail_refuses(result.exit_code)) {
    fake.refused.emplace_back(input);
  }
  if (finish) finish(result);
  return result;
}
