// The picture of a run's candidates: one panel per trait, each candidate's
// weight against the reliability of its predicted breeding value, coloured
// by group, with the two group averages as horizontal lines and the
// candidates farthest from their group's average labelled by identifier.
// Drawn with cairo as PNG, SVG or PDF.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace gw {

enum class PlotFormat { png, svg, pdf };

// The format that the file name's ending asks for (".png", ".svg" or
// ".pdf", in any case); nothing for another ending.
std::optional<PlotFormat> plot_format(const std::filesystem::path& file);

struct PlotCandidate {
  std::string id;
  int group = 1;            // 1 or 2
  std::vector<double> w;    // one weight per trait (not drawn when not finite)
  std::vector<double> rel;  // one reliability per trait
};

struct PlotInput {
  std::vector<std::string> titles;  // one per trait
  std::vector<PlotCandidate> candidates;
  std::vector<double> vv1, vv2;  // the group averages per trait (NaN: no average)
  int left_out = 0;              // candidates without weights, not drawn
};

// Panels and labels of the picture, for tests: which candidates got a label
// in each panel, and whether the panel's weight axis is logarithmic.
struct PlotLayout {
  std::vector<std::vector<std::string>> labelled;  // per trait
  std::vector<bool> symmetric_log;                 // per trait
};

// The picture's bytes in `format`. Throws FatalError (exit status 3) when
// the drawing library fails.
std::string render_plot(const PlotInput& in, PlotFormat format, PlotLayout* layout = nullptr);

}  // namespace gw
