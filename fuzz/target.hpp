// How a fuzz target is declared, so that the same entry point serves
// libFuzzer (one program per target) and the replay of the kept inputs by
// `make test` (all targets in one gtest program, built without clang):
//
//   QUILLMAR_FUZZ_TARGET(areas) { ... data, size ... return 0; }
//
// A target that sets up state once (the settings, an open file) asks
// setup_needed() first: the replay runs many targets in one process, and
// each must set its state up again when its turn comes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::fuzz {

using TargetFunction = int (*)(const uint8_t* data, std::size_t size);

struct TargetRegistration {
  TargetRegistration(const char* name, TargetFunction function);
};

// The registered targets (the replay program's), sorted by name.
std::vector<std::string> target_names();
TargetFunction find_target(std::string_view name);

// A new target begins (the replay calls it before each target's inputs).
void begin_target();
// True the first time it is asked with `seen` since the current target
// began; `seen` is the asking target's own counter, starting at -1.
bool setup_needed(int& seen);

}  // namespace quillmar::fuzz

#if defined(QUILLMAR_FUZZ_REPLAY)
#define QUILLMAR_FUZZ_TARGET(name)                                              \
  static int quillmar_fuzz_entry(const uint8_t* data, size_t size);             \
  static const ::quillmar::fuzz::TargetRegistration quillmar_fuzz_registration( \
      #name, quillmar_fuzz_entry);                                              \
  static int quillmar_fuzz_entry(const uint8_t* data, size_t size)
#else
#define QUILLMAR_FUZZ_TARGET(name) \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#endif
