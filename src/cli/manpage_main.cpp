// Writes the manual page gainweights(1) from the flag table to standard
// output; the build runs it to make the page that is installed.
#include <iostream>

#include "cli/flags.hpp"

int main() {
  gw::write_man_page(std::cout, GAINWEIGHTS_VERSION);
  return std::cout ? 0 : 1;
}
