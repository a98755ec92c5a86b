#include <stdexcept>
#include "kernels/kernels.hpp"
namespace gw {
void amrx(const std::int32_t*, const std::int32_t*, MatView, int) { throw std::logic_error("amrx: not built yet"); }
}  // namespace gw
