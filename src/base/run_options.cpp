#include "base/run_options.hpp"

#include "platform/fs.hpp"

namespace quillmar {

RunOptions run_options;

void set_default_config_name() {
#ifdef QUILLMAR_SYSTEM_CONFIG
  std::string_view name = platform::get_environment("QUILLMAR_CONFIG");
  if (name.empty() || !run_options.config_file_name.assign(name)) {
    run_options.config_file_name = QUILLMAR_SYSTEM_CONFIG;
  }
#endif
}

}  // namespace quillmar
