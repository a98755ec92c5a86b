// The picture of the candidates: each format is what its name says, the
// candidates farthest from their group's average carry labels that do not
// overlap, weights over orders of magnitude get a logarithmic axis, and a
// group without candidates or a trait without finite weights draws.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "io/plot.hpp"

namespace gw {
namespace {

// Two traits, ten candidates in each group near their averages, and one
// candidate of group 1 far above them in trait 2.
PlotInput small_input() {
  PlotInput in;
  in.titles = {"gain", "litter size"};
  for (int k = 0; k < 20; ++k) {
    PlotCandidate c;
    c.id = "A-" + std::to_string(k);
    c.group = k < 10 ? 1 : 2;
    c.w = {0.05 + 0.001 * k, 4.0 + 0.1 * (k % 5)};
    c.rel = {0.3 + 0.01 * k, 0.1 + 0.005 * k};
    in.candidates.push_back(c);
  }
  in.candidates[3].w[1] = 32;
  in.candidates[3].id = "B-0300";
  in.vv1 = {0.0545, 6.9};
  in.vv2 = {0.0645, 4.2};
  return in;
}

TEST(Plot, EachFormatIsWhatItsNameSays) {
  struct {
    const char* name;
    std::string magic;
  } cases[] = {{"herd.png", "\x89PNG\r\n"}, {"herd.SVG", "<?xml"}, {"herd.pdf", "%PDF-"}};
  for (const auto& c : cases) {
    const std::optional<PlotFormat> f = plot_format(c.name);
    ASSERT_TRUE(f) << c.name;
    const std::string bytes = render_plot(small_input(), *f);
    EXPECT_EQ(bytes.substr(0, c.magic.size()), c.magic) << c.name;
    EXPECT_GT(bytes.size(), 1000u) << c.name;
  }
  for (const char* bad : {"herd.jpg", "herd", "png", "herd.png.txt"}) EXPECT_FALSE(plot_format(bad)) << bad;
}

TEST(Plot, LabelsTheCandidatesFarthestFromTheirAverage) {
  PlotLayout layout;
  render_plot(small_input(), PlotFormat::svg, &layout);
  ASSERT_EQ(layout.labelled.size(), 2u);
  ASSERT_FALSE(layout.labelled[1].empty());
  EXPECT_EQ(layout.labelled[1][0], "B-0300");
  EXPECT_LE(layout.labelled[0].size(), 6u);
}

// A few thousand candidates whose weights span six orders of magnitude, of
// both signs: the axis turns logarithmic, the labels stay few and apart,
// and an empty second group and an unfilled trait draw without trouble.
TEST(Plot, ManyCandidatesOverOrdersOfMagnitude) {
  std::mt19937_64 rng(5);
  std::lognormal_distribution<double> size(0.0, 2.5);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  PlotInput in;
  in.titles = {"wide", "narrow", "nothing"};
  for (int k = 0; k < 3000; ++k) {
    PlotCandidate c;
    c.id = std::to_string(100000 + k);
    c.group = 1;
    c.w = {(unit(rng) < 0.3 ? -1 : 1) * size(rng), 1 + 0.1 * unit(rng), NAN};
    c.rel = {unit(rng), unit(rng), unit(rng)};
    in.candidates.push_back(c);
  }
  in.vv1 = {3.0, 1.05, NAN};
  in.vv2 = {NAN, NAN, NAN};
  in.left_out = 4;
  PlotLayout layout;
  const std::string png = render_plot(in, PlotFormat::png, &layout);
  EXPECT_EQ(png.substr(0, 4), "\x89PNG");
  ASSERT_EQ(layout.symmetric_log.size(), 3u);
  EXPECT_TRUE(layout.symmetric_log[0]);
  EXPECT_FALSE(layout.symmetric_log[1]);
  EXPECT_TRUE(layout.labelled[2].empty());
  EXPECT_GE(layout.labelled[0].size(), 3u);
}

}  // namespace
}  // namespace gw
