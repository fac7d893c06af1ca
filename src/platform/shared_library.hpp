// Shared libraries opened while the program runs, for the few features that
// need a large library only now and then (so that a run which never needs it
// does not carry it in memory).
#pragma once

#include <string>

namespace quillmar::platform {

// A shared library opened for the rest of the run (it is never closed).
struct SharedLibrary {
  void* handle = nullptr;  // null when the library could not be opened
  std::string error;       // why not, as the dynamic loader says it
};

// Opens the library `file` (a file name such as "libxml2.so.2", found where
// the dynamic loader looks). When the environment variable
// QUILLMAR_LIBRARY_DIR is set, the library is looked for in that directory
// only; the tests use it to run without a library.
SharedLibrary open_shared_library(const char* file);

// The address of the function or variable `name` of an open library; null,
// with the loader's reason in `error`, when it has none.
void* shared_library_symbol(const SharedLibrary& library, const char* name, std::string& error);

}  // namespace quillmar::platform
