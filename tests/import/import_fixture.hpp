// The set-up shared by the in-process import tests: the gateway 2:345/6,
// its first user, inbound and decode directories in a scratch directory,
// a pinned clock and empty counters.
#pragma once

#include "config/settings.hpp"
#include "fido/fido_state.hpp"
#include "import/import_state.hpp"
#include "test_support.hpp"

namespace quillmar::test {

class ImportFixture : public FidoTest {
 protected:
  void SetUp() override {
    FidoTest::SetUp();
    settings->FidoAddr = FtnAddress{2, 345, 6, 0};
    add_address_map({2, 345, 6, 1}, "sysop@example.org", "", "Joe Sysop");
    settings->InboundDir = dir_.mkdir("in") + "/";
    settings->DecodeDir = dir_.mkdir("files") + "/";
    import_state.file_counters = ImportCounters{};
  }

  testing::ScratchDir dir_;
};

}  // namespace quillmar::test
