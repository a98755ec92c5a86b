#include "io/plot.hpp"

#include <cairo-pdf.h>
#include <cairo-svg.h>
#include <cairo.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>

#include "io/number_format.hpp"
#include "base/fatal.hpp"

namespace gw {

namespace {

// Sizes in points (PNG: pixels).
constexpr double kPanelWidth = 440, kPanelHeight = 330;
constexpr double kLeft = 72, kRight = 16, kTop = 30, kBottom = 46;  // inside a panel
constexpr double kLegend = 34;                                       // above the panels
constexpr int kColumns = 3;
constexpr int kLabelsPerPanel = 6;
constexpr double kFontSize = 11, kTitleSize = 13;
// A weight axis turns logarithmic (both signs) when the largest weight is
// this many times the typical (median) one.
constexpr double kLogSpan = 50;

struct Rgb {
  double r, g, b;
};
constexpr Rgb kGroupColour[2] = {{0.12, 0.42, 0.71}, {0.85, 0.37, 0.01}};

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

cairo_status_t append_bytes(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

[[noreturn]] void drawing_failed(cairo_status_t status) {
  throw FatalError::diagnostic(std::string("the picture cannot be drawn: ") + cairo_status_to_string(status),
                               ExitStatus::resource);
}

void check(cairo_t* c) {
  if (const cairo_status_t s = cairo_status(c); s != CAIRO_STATUS_SUCCESS) drawing_failed(s);
}

// The weight axis: linear, or sign(y) log10(1 + |y| / c) when the weights
// span orders of magnitude, so that neither the many small weights nor the
// few large ones vanish.
struct WeightScale {
  bool log = false;
  double c = 1;  // where the logarithmic axis leaves its linear part
  double lo = 0, hi = 1;

  double map(double y) const { return log ? std::copysign(std::log10(1 + std::fabs(y) / c), y) : y; }
};

// A step of 1, 2 or 5 times a power of ten that gives about `count` ticks.
double nice_step(double span, int count) {
  const double raw = span / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0})
    if (m * power >= raw) return m * power;
  return 10 * power;
}

WeightScale weight_scale(std::vector<double> values) {
  WeightScale s;
  values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return !std::isfinite(v); }),
               values.end());
  if (values.empty()) {
    s.lo = -1, s.hi = 1;
    return s;
  }
  std::vector<double> mag;
  for (const double v : values)
    if (v != 0.0) mag.push_back(std::fabs(v));
  double largest = 0;
  for (const double m : mag) largest = std::max(largest, m);
  if (!mag.empty()) {
    std::nth_element(mag.begin(), mag.begin() + static_cast<std::ptrdiff_t>(mag.size() / 2), mag.end());
    const double median = mag[mag.size() / 2];
    if (largest > kLogSpan * median) {
      s.log = true;
      s.c = std::pow(10.0, std::floor(std::log10(median)));
    }
  }
  double lo = s.map(values[0]), hi = lo;
  for (const double v : values) lo = std::min(lo, s.map(v)), hi = std::max(hi, s.map(v));
  // Zero is on the axis unless the weights keep well clear of it.
  if (s.log || lo <= 0.5 * hi) lo = std::min(lo, 0.0);
  if (s.log || hi >= 0.5 * lo) hi = std::max(hi, 0.0);
  if (hi - lo <= 0) hi = lo + std::max(1.0, std::fabs(lo));
  const double pad = 0.06 * (hi - lo);
  s.lo = lo == 0.0 ? lo : lo - pad;
  s.hi = hi == 0.0 ? hi : hi + pad;
  return s;
}

// Ticks of the weight axis: positions in data units.
std::vector<double> weight_ticks(const WeightScale& s) {
  std::vector<double> t;
  if (!s.log) {
    const double step = nice_step(s.hi - s.lo, 6);
    for (double v = std::ceil(s.lo / step) * step; v <= s.hi + 1e-9 * step; v += step)
      t.push_back(std::fabs(v) < 1e-9 * step ? 0.0 : v);
    return t;
  }
  t.push_back(0.0);
  for (double m = s.c; m < 1e300; m *= 10) {
    bool inside = false;
    if (s.map(m) <= s.hi) t.push_back(m), inside = true;
    if (s.map(-m) >= s.lo) t.push_back(-m), inside = true;
    if (!inside) break;
  }
  std::sort(t.begin(), t.end());
  return t;
}

std::string tick_text(double v) {
  if (v == 0.0) return "0";
  return format_short(v);
}

struct Box {
  double x0, y0, x1, y1;
  bool overlaps(const Box& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
  bool inside(const Box& o) const { return x0 >= o.x0 && x1 <= o.x1 && y0 >= o.y0 && y1 <= o.y1; }
};

void text_at(cairo_t* c, double x, double y, const std::string& text, double align_x, double align_y) {
  cairo_text_extents_t e;
  cairo_text_extents(c, text.c_str(), &e);
  cairo_move_to(c, x - align_x * e.width - e.x_bearing, y - align_y * e.height - e.y_bearing);
  cairo_show_text(c, text.c_str());
}

class Painter {
 public:
  Painter(cairo_t* c, const PlotInput& in, PlotLayout* layout) : c_(c), in_(in), layout_(layout) {}

  void figure(double width, double height) {
    cairo_set_source_rgb(c_, 1, 1, 1);
    cairo_paint(c_);
    cairo_select_font_face(c_, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    legend(width);
    const auto nt = static_cast<int>(in_.titles.size());
    for (int t = 0; t < nt; ++t)
      panel(t, (t % kColumns) * kPanelWidth, kLegend + (t / kColumns) * kPanelHeight);
    (void)height;
    check(c_);
  }

 private:
  void legend(double width) {
    cairo_set_font_size(c_, kFontSize);
    int count[2] = {0, 0};
    for (const PlotCandidate& p : in_.candidates) ++count[p.group == 1 ? 0 : 1];
    double x = kLeft;
    for (int g = 0; g < 2; ++g) {
      const Rgb& col = kGroupColour[g];
      cairo_set_source_rgb(c_, col.r, col.g, col.b);
      cairo_new_path(c_);
      cairo_arc(c_, x, kLegend / 2, 4, 0, 2 * M_PI);
      cairo_fill(c_);
      cairo_move_to(c_, x + 12, kLegend / 2);
      cairo_line_to(c_, x + 34, kLegend / 2);
      cairo_set_dash(c_, nullptr, 0, 0);
      cairo_set_line_width(c_, 1.5);
      const double dash[] = {6, 3};
      cairo_set_dash(c_, dash, 2, 0);
      cairo_stroke(c_);
      cairo_set_dash(c_, nullptr, 0, 0);
      cairo_set_source_rgb(c_, 0.1, 0.1, 0.1);
      const std::string text = "group " + std::to_string(g + 1) + ": " +
                               (count[g] == 0 ? std::string("no candidates")
                                              : std::to_string(count[g]) + " candidates, dashed: average");
      text_at(c_, x + 40, kLegend / 2, text, 0, 0.5);
      cairo_text_extents_t e;
      cairo_text_extents(c_, text.c_str(), &e);
      x += 40 + e.x_advance + 30;
    }
    if (in_.left_out > 0) {
      cairo_set_source_rgb(c_, 0.3, 0.3, 0.3);
      text_at(c_, std::max(x, width - kRight - 8), kLegend / 2,
              std::to_string(in_.left_out) + " without weights, not shown", x < width - kRight - 8 ? 1 : 0, 0.5);
    }
  }

  void panel(int t, double ox, double oy) {
    const double x0 = ox + kLeft, x1 = ox + kPanelWidth - kRight;
    const double y0 = oy + kTop, y1 = oy + kPanelHeight - kBottom;
    std::vector<double> values;
    for (const PlotCandidate& p : in_.candidates) values.push_back(p.w[t]);
    for (const std::vector<double>* avg : {&in_.vv1, &in_.vv2})
      if (std::isfinite((*avg)[t])) values.push_back((*avg)[t]);
    const WeightScale s = weight_scale(values);
    const auto px = [&](double rel) { return x0 + std::clamp(rel, 0.0, 1.0) * (x1 - x0); };
    const auto py = [&](double w) { return y1 - (s.map(w) - s.lo) / (s.hi - s.lo) * (y1 - y0); };

    // Frame, grid and ticks.
    cairo_set_line_width(c_, 1);
    cairo_set_font_size(c_, kFontSize);
    for (int k = 0; k <= 5; ++k) {
      const double rel = k / 5.0, x = px(rel);
      grid_line(x, y0, x, y1);
      cairo_set_source_rgb(c_, 0.2, 0.2, 0.2);
      char text[8];
      std::snprintf(text, sizeof text, "%.1f", rel);
      text_at(c_, x, y1 + 5, text, 0.5, 0);
    }
    // A tick closer than a line of text to one already drawn is left out;
    // zero and the larger magnitudes go first.
    std::vector<double> ticks = weight_ticks(s), drawn;
    std::stable_sort(ticks.begin(), ticks.end(), [](double a, double b) {
      return a == 0.0 ? b != 0.0 : b != 0.0 && std::fabs(a) > std::fabs(b);
    });
    for (const double v : ticks) {
      const double y = py(v);
      if (y < y0 - 0.5 || y > y1 + 0.5 ||
          std::any_of(drawn.begin(), drawn.end(), [&](double d) { return std::fabs(y - d) < kFontSize + 3; }))
        continue;
      drawn.push_back(y);
      grid_line(x0, y, x1, y);
      cairo_set_source_rgb(c_, 0.2, 0.2, 0.2);
      text_at(c_, x0 - 6, y, tick_text(v), 1, 0.5);
    }
    cairo_set_source_rgb(c_, 0.4, 0.4, 0.4);
    cairo_rectangle(c_, x0, y0, x1 - x0, y1 - y0);
    cairo_stroke(c_);
    // Titles.
    cairo_set_source_rgb(c_, 0.1, 0.1, 0.1);
    cairo_set_font_size(c_, kTitleSize);
    text_at(c_, (x0 + x1) / 2, oy + kTop / 2, in_.titles[t], 0.5, 0.5);
    cairo_set_font_size(c_, kFontSize);
    text_at(c_, (x0 + x1) / 2, y1 + 24, "reliability of the predicted breeding value", 0.5, 0);
    cairo_save(c_);
    cairo_translate(c_, ox + 14, (y0 + y1) / 2);
    cairo_rotate(c_, -M_PI / 2);
    text_at(c_, 0, 0, s.log ? "weight (logarithmic both ways)" : "weight", 0.5, 0.5);
    cairo_restore(c_);

    if (std::none_of(in_.candidates.begin(), in_.candidates.end(),
                     [&](const PlotCandidate& p) { return std::isfinite(p.w[t]); })) {
      cairo_set_source_rgb(c_, 0.4, 0.4, 0.4);
      text_at(c_, (x0 + x1) / 2, (y0 + y1) / 2, "no candidate has a weight", 0.5, 0.5);
    }
    // Points, then the averages above them.
    cairo_save(c_);
    cairo_rectangle(c_, x0, y0, x1 - x0, y1 - y0);
    cairo_clip(c_);
    const double radius = in_.candidates.size() > 1000 ? 1.6 : 2.6;
    for (const PlotCandidate& p : in_.candidates) {
      if (!std::isfinite(p.w[t]) || !std::isfinite(p.rel[t])) continue;
      const Rgb& col = kGroupColour[p.group == 1 ? 0 : 1];
      cairo_set_source_rgba(c_, col.r, col.g, col.b, 0.7);
      cairo_new_sub_path(c_);
      cairo_arc(c_, px(p.rel[t]), py(p.w[t]), radius, 0, 2 * M_PI);
      cairo_fill(c_);
    }
    const double avg[2] = {in_.vv1[t], in_.vv2[t]};
    const double dash[] = {6, 3};
    for (int g = 0; g < 2; ++g) {
      if (!std::isfinite(avg[g])) continue;
      const Rgb& col = kGroupColour[g];
      cairo_set_source_rgb(c_, col.r, col.g, col.b);
      cairo_set_line_width(c_, 1.5);
      cairo_set_dash(c_, dash, 2, 0);
      cairo_move_to(c_, x0, py(avg[g]));
      cairo_line_to(c_, x1, py(avg[g]));
      cairo_stroke(c_);
      cairo_set_dash(c_, nullptr, 0, 0);
    }
    cairo_restore(c_);
    labels(t, s, Box{x0, y0, x1, y1}, px, py, avg);
  }

  void grid_line(double xa, double ya, double xb, double yb) {
    cairo_set_source_rgb(c_, 0.9, 0.9, 0.9);
    cairo_move_to(c_, xa, ya);
    cairo_line_to(c_, xb, yb);
    cairo_stroke(c_);
  }

  // The candidates farthest from their group's average on the drawn axis,
  // each labelled beside its point where the label overlaps no other label
  // and stays inside the panel; a candidate whose label finds no place goes
  // without.
  template <class Px, class Py>
  void labels(int t, const WeightScale& s, const Box& area, const Px& px, const Py& py, const double* avg) {
    std::vector<std::size_t> order;
    std::vector<double> distance(in_.candidates.size(), 0.0);
    for (std::size_t i = 0; i < in_.candidates.size(); ++i) {
      const PlotCandidate& p = in_.candidates[i];
      const double a = avg[p.group == 1 ? 0 : 1];
      if (!std::isfinite(p.w[t]) || !std::isfinite(p.rel[t]) || !std::isfinite(a)) continue;
      distance[i] = std::fabs(s.map(p.w[t]) - s.map(a));
      order.push_back(i);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return distance[a] > distance[b]; });
    std::vector<Box> taken;
    std::vector<std::string> labelled;
    cairo_set_font_size(c_, kFontSize - 1);
    for (const std::size_t i : order) {
      if (static_cast<int>(labelled.size()) == kLabelsPerPanel || distance[i] == 0.0) break;
      const PlotCandidate& p = in_.candidates[i];
      const double x = px(p.rel[t]), y = py(p.w[t]);
      cairo_text_extents_t e;
      cairo_text_extents(c_, p.id.c_str(), &e);
      const double w = e.x_advance, h = kFontSize;
      // A point that an earlier label or its circle covers is not labelled
      // again: the two would only crowd each other.
      const Box dot{x - 3.5, y - 3.5, x + 3.5, y + 3.5};
      if (std::any_of(taken.begin(), taken.end(), [&](const Box& o) { return o.overlaps(dot); })) continue;
      // Right, left, above, below the point.
      const Box tries[] = {{x + 5, y - h / 2, x + 5 + w, y + h / 2},
                           {x - 5 - w, y - h / 2, x - 5, y + h / 2},
                           {x - w / 2, y - 5 - h, x + w / 2, y - 5},
                           {x - w / 2, y + 5, x + w / 2, y + 5 + h}};
      for (const Box& b : tries) {
        if (!b.inside(area) || std::any_of(taken.begin(), taken.end(), [&](const Box& o) { return o.overlaps(b); }))
          continue;
        taken.push_back(b);
        taken.push_back(dot);
        labelled.push_back(p.id);
        cairo_set_source_rgb(c_, 0.05, 0.05, 0.05);
        cairo_new_path(c_);
        cairo_arc(c_, x, y, 3.4, 0, 2 * M_PI);
        cairo_set_line_width(c_, 1);
        cairo_stroke(c_);
        // A light backing keeps the label readable over the points.
        cairo_set_source_rgba(c_, 1, 1, 1, 0.75);
        cairo_rectangle(c_, b.x0 - 1, b.y0, b.x1 - b.x0 + 2, b.y1 - b.y0);
        cairo_fill(c_);
        cairo_set_source_rgb(c_, 0.05, 0.05, 0.05);
        text_at(c_, b.x0, (b.y0 + b.y1) / 2, p.id, 0, 0.5);
        break;
      }
    }
    if (layout_) {
      layout_->labelled.push_back(labelled);
      layout_->symmetric_log.push_back(s.log);
    }
  }

  cairo_t* c_;
  const PlotInput& in_;
  PlotLayout* layout_;
};

}  // namespace

std::optional<PlotFormat> plot_format(const std::filesystem::path& file) {
  std::string ext = file.extension().string();
  for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (ext == ".png") return PlotFormat::png;
  if (ext == ".svg") return PlotFormat::svg;
  if (ext == ".pdf") return PlotFormat::pdf;
  return std::nullopt;
}

std::string render_plot(const PlotInput& in, PlotFormat format, PlotLayout* layout) {
  const auto nt = static_cast<int>(in.titles.size());
  const int columns = std::min(nt, kColumns), rows = (nt + kColumns - 1) / kColumns;
  const double width = std::max(1, columns) * kPanelWidth, height = kLegend + std::max(1, rows) * kPanelHeight;
  std::string bytes;
  Surface surface;
  switch (format) {
    case PlotFormat::png:
      surface.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(width), static_cast<int>(height)));
      break;
    case PlotFormat::svg:
      surface.reset(cairo_svg_surface_create_for_stream(append_bytes, &bytes, width, height));
      break;
    case PlotFormat::pdf:
      surface.reset(cairo_pdf_surface_create_for_stream(append_bytes, &bytes, width, height));
      break;
  }
  if (const cairo_status_t st = cairo_surface_status(surface.get()); st != CAIRO_STATUS_SUCCESS) drawing_failed(st);
  {
    Context c(cairo_create(surface.get()));
    Painter(c.get(), in, layout).figure(width, height);
  }
  if (format == PlotFormat::png) {
    if (const cairo_status_t st = cairo_surface_write_to_png_stream(surface.get(), append_bytes, &bytes);
        st != CAIRO_STATUS_SUCCESS)
      drawing_failed(st);
  }
  cairo_surface_finish(surface.get());
  if (const cairo_status_t st = cairo_surface_status(surface.get()); st != CAIRO_STATUS_SUCCESS) drawing_failed(st);
  surface.reset();
  return bytes;
}

}  // namespace gw
