// libFuzzer entry point: a whole run on a pair of small input files.
#include "kit/fuzz_run.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  gw::fuzz::run_target(data, size);
  return 0;
}
