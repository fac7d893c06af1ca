#include "soupside_fakes.hpp"

#include <functional>
#include <string_view>

#include "platform/process.hpp"

namespace quillmar::fuzz {

FakeSendmail& fake_sendmail() {
  static FakeSendmail fake;
  return fake;
}

}  // namespace quillmar::fuzz

using quillmar::platform::CommandResult;
using Finish = std::function<void(const CommandResult&)>;

// The linker's names for the wrapped function and the real one.
CommandResult
real_run_with_input(std::string_view command, std::string_view input, const Finish& finish) __asm__(
    "__real__ZN8quillmar8platform14run_with_inputESt17basic_string_viewIcSt11char_"
    "traitsIcEES4_RKSt8functionIFvRKNS0_13CommandResultEEE");
CommandResult
wrapped_run_with_input(std::string_view command, std::string_view input, const Finish& finish) __asm__(
    "__wrap__ZN8quillmar8platform14run_with_inputESt17basic_string_viewIcSt11char_"
    "traitsIcEES4_RKSt8functionIFvRKNS0_13CommandResultEEE");

CommandResult wrapped_run_with_input(std::string_view command, std::string_view input,
                                     const Finish& finish) {
  quillmar::fuzz::FakeSendmail& fake = quillmar::fuzz::fake_sendmail();
  if (!fake.on) return real_run_with_input(command, input, finish);
  CommandResult result;
  result.started = true;
  result.exit_code =
      fake.next_status < fake.statuses.size() ? fake.statuses[fake.next_status++] : 0;
  switch (result.exit_code) {
    case 0:
      fake.accepted.emplace_back(input);
      break;
    case 65:
    case 67:
    case 68:
    case 69:
    case 76:
    case 77:
      fake.refused.emplace_back(input);
      break;
  }
  if (finish) finish(result);
  return result;
}
