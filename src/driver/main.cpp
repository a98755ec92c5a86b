#include <iostream>

#include "driver/run.hpp"

int main(int argc, char** argv) {
  return gw::run_program(argc, argv, std::cout, std::cerr, gw::Progress::standard_error_is_terminal());
}
