#include "soupside/soupside_run.hpp"

int main(int argc, char** argv) {
  return quillmar::run_soup_side(argc, argv);
}
