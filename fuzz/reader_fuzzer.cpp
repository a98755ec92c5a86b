// libFuzzer entry point: the value reader and the line counter.
#include "kit/fuzz_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  gw::fuzz::reader_target(data, size);
  return 0;
}
