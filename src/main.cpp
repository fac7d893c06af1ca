#include "app/run.hpp"

int main(int argc, char** argv) {
  return quillmar::run(argc, argv);
}
