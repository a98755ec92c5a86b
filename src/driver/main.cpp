#include <iostream>

#include "driver/run.hpp"
#include "io/atomic_file.hpp"

int main(int argc, char** argv) {
  gw::install_interrupt_cleanup();
  return gw::run_program(argc, argv, std::cout, std::cerr, gw::Progress::standard_error_is_terminal());
}
