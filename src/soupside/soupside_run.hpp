// The run of quillmar-soup: command line, configuration, lock, command.
#pragma once

namespace quillmar {

// The whole run; the exit code.
int run_soup_side(int argc, char** argv);

}  // namespace quillmar
