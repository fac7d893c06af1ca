#include "platform/shared_library.hpp"

#include <dlfcn.h>

#include <cstdlib>

namespace quillmar::platform {

namespace {

std::string loader_error(const char* fallback) {
  const char* e = ::dlerror();
  return e != nullptr ? std::string(e) : std::string(fallback);
}

}  // namespace

SharedLibrary open_shared_library(const char* file) {
  SharedLibrary library;
  std::string name = file;
  if (const char* dir = std::getenv("QUILLMAR_LIBRARY_DIR"); dir != nullptr) {
    name = dir;
    if (name.empty() || name.back() != '/') name.push_back('/');
    name += file;
  }
  ::dlerror();
  library.handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.handle == nullptr) library.error = loader_error("cannot be opened");
  return library;
}

void* shared_library_symbol(const SharedLibrary& library, const char* name, std::string& error) {
  if (library.handle == nullptr) {
    error = library.error;
    return nullptr;
  }
  ::dlerror();
  void* address = ::dlsym(library.handle, name);
  if (address == nullptr) error = loader_error("symbol not found");
  return address;
}

}  // namespace quillmar::platform
