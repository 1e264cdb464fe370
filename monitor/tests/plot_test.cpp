// The pictures read back: the SVG parsed as XML, the PNG decoded, and what
// they hold checked against the watch they were drawn from.
#include "plot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <pugixml.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace maroquint::monitor {
namespace {

using ::testing::HasSubstr;

// A minute of markers, jitter of a fraction of a millisecond, one gap of two
// missed pulses at 30 s, an extra marker at 45 s and a correction every 5 s.
WatchReport Watch() {
  WatchReport report;
  report.stream = StreamDescription{};
  report.stream->name = "Maroquint";
  report.watched = 60.0;
  for (int i = 1; i < 60; ++i) {
    const double deviation = ((i * 7) % 11 - 5) * 0.00004;
    if (i == 30)
      report.markers.push_back({30.0, 2.0 + deviation, 2});
    else if (i == 45)
      report.markers.push_back({45.0, -0.9998, 0});
    else
      report.markers.push_back({static_cast<double>(i), deviation, 0});
  }
  for (int i = 0; i < 12; ++i)
    report.correction_points.push_back({i * 5.0, -0.00003 + i * 0.000001, 0.00008});
  return report;
}

std::string TempPath(const std::string &suffix) {
  return (std::filesystem::temp_directory_path() /
          ("maroquint-plot-" +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + suffix))
      .string();
}

// All the text under a node.
std::string TextOf(const pugi::xml_node &node) {
  std::string text;
  for (const pugi::xml_node &child : node.children())
    text += child.type() == pugi::node_pcdata ? child.value() : TextOf(child);
  return text;
}

TEST(Plot, SvgHoldsTheLabelledPanelsEveryPointAndTheGap) {
  const std::string path = TempPath(".svg");
  const WatchReport report = Watch();
  ASSERT_EQ(DrawWatchPlot(path, report, "UNHEALTHY: 2 missed pulses (limit 0)"), "");
  pugi::xml_document svg;
  const pugi::xml_parse_result parsed = svg.load_file(path.c_str());
  std::filesystem::remove(path);
  ASSERT_TRUE(parsed) << parsed.description();
  ASSERT_STREQ(svg.document_element().name(), "svg");

  std::string labels;
  int points = 0;
  for (const pugi::xpath_node &node : svg.select_nodes("//text")) {
    const std::string text = TextOf(node.node());
    // PLplot draws each point as a bullet in the colour of its series.
    if (text == "\u2022" && std::string(node.node().attribute("fill").value()) == "#1F57B4")
      ++points;
    labels += text + "\n";
  }
  // Every regular interval (all but the gap and the extra marker) and every correction.
  EXPECT_EQ(points, static_cast<int>(report.markers.size() - 2 + report.correction_points.size()));
  for (const char *label :
       {"\"Maroquint\": UNHEALTHY: 2 missed pulses (limit 0)", "interval - period (\u03bcs)",
        "time since the watch began (s)", "gaps of missed pulses: 1 (red)",
        "early or extra markers: 1 (orange)", "histogram of the deviations",
        "time correction (\u03bcs)", "round-trip time"})
    EXPECT_THAT(labels, HasSubstr(label));

  // Red: one line across the timeline for the gap, and for each correction
  // an error bar of three strokes (the bar and its two ends); orange: one
  // line for the extra marker.
  EXPECT_EQ(svg.select_nodes("//polyline[@stroke='#D62728']").size(),
            1 + 3 * report.correction_points.size());
  EXPECT_EQ(svg.select_nodes("//polyline[@stroke='#FF7F0E']").size(), 1u);
}

struct Pixels {
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  std::vector<png_byte> rgb;

  // Pixels within a small distance of the colour (anti-aliasing blends edges).
  int Count(int r, int g, int b) const {
    int count = 0;
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3)
      if (std::abs(rgb[i] - r) < 24 && std::abs(rgb[i + 1] - g) < 24 &&
          std::abs(rgb[i + 2] - b) < 24)
        ++count;
    return count;
  }
};

Pixels DecodePng(const std::string &path) {
  Pixels pixels;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return pixels;
  image.format = PNG_FORMAT_RGB;
  std::vector<png_byte> buffer(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr)) return pixels;
  pixels.width = image.width;
  pixels.height = image.height;
  pixels.rgb = std::move(buffer);
  return pixels;
}

TEST(Plot, PngDecodesWithTheGapInRedAndThePointsInBlue) {
  const std::string with_gap = TempPath("-gap.png");
  ASSERT_EQ(DrawWatchPlot(with_gap, Watch(), "UNHEALTHY"), "");
  WatchReport regular = Watch();
  regular.markers[29] = {30.0, 0.0, 0};
  regular.markers[44] = {45.0, 0.0, 0};
  regular.correction_points.clear();
  const std::string without_gap = TempPath("-regular.png");
  ASSERT_EQ(DrawWatchPlot(without_gap, regular, "healthy"), "");
  const Pixels gap = DecodePng(with_gap);
  const Pixels none = DecodePng(without_gap);
  std::filesystem::remove(with_gap);
  std::filesystem::remove(without_gap);

  ASSERT_EQ(gap.width, 1000u);
  ASSERT_EQ(gap.height, 1200u);
  ASSERT_EQ(none.width, 1000u);
  // Mostly white paper, with blue points and red marks where there are gaps
  // or corrections, and none where there are neither.
  EXPECT_GT(gap.Count(255, 255, 255), static_cast<int>(gap.width * gap.height / 2));
  EXPECT_GT(gap.Count(31, 87, 180), 200);
  EXPECT_GT(none.Count(31, 87, 180), 200);
  EXPECT_GT(gap.Count(214, 39, 40), 200);
  EXPECT_EQ(none.Count(214, 39, 40), 0);
}

TEST(Plot, AnUnwritablePathIsReported) {
  PlotRecorder recorder(TempPath("-missing") + "/watch.svg");
  EXPECT_THAT(recorder.Open(), ::testing::StartsWith("cannot create "));
  PlotRecorder full("/dev/full");
  EXPECT_THAT(full.Open(), ::testing::StartsWith("cannot write /dev/full: "));
}

}  // namespace
}  // namespace maroquint::monitor
