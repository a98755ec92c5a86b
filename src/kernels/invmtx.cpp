#include "kernels/kernels.hpp"

namespace gw {

void invmtx(int n, ConstMatView a, MatView b, const ProgressFn& progress) { invmtx_plain(n, a, b, progress); }

}  // namespace gw
