#include <stdexcept>
#include "io/number_format.hpp"
namespace gw {
std::string format_free(double) { throw std::logic_error("not built yet"); }
std::string format_weight_field(double) { throw std::logic_error("not built yet"); }
std::string format_weight_line(double, double, double, double) { throw std::logic_error("not built yet"); }
std::string format_count_line(std::string_view, std::int64_t) { throw std::logic_error("not built yet"); }
std::string format_progress_line(std::int64_t) { throw std::logic_error("not built yet"); }
std::string format_iteration_limit_line(std::int64_t) { throw std::logic_error("not built yet"); }
std::string format_date_time_line(const LocalTime&) { throw std::logic_error("not built yet"); }
}  // namespace gw
