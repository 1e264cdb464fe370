// The pictures read back: the SVG parsed as XML, the PNG decoded, and what
// they hold checked against the watch they were drawn from.
#include "plot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <png.h>
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
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
      report.markers.push_back({30.0, 2.0 + deviation, 2, IntervalKind::kGap});
    else if (i == 45)
      report.markers.push_back({45.0, -0.9998, 0, IntervalKind::kEarly});
    else
      report.markers.push_back({static_cast<double>(i), deviation, 0, IntervalKind::kRegular});
  }
  report.intervals.markers = 60;
  report.intervals.missed_pulses = 2;
  report.first_marker_at = 0.0;
  report.last_marker_at = 59.0;
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

// The picture of `report` as SVG, read back; an empty document when it
// cannot be drawn or read.
pugi::xml_document DrawnSvg(const WatchReport &report, const std::string &verdict) {
  const std::string path = TempPath(".svg");
  pugi::xml_document svg;
  const RecordStatus drawn = DrawWatchPlot(path, report, verdict);
  EXPECT_TRUE(drawn) << drawn.Message();
  if (drawn) {
    EXPECT_TRUE(svg.load_file(path.c_str())) << path;
  }
  std::filesystem::remove(path);
  return svg;
}

TEST(Plot, SvgHoldsTheLabelledPanelsEveryPointAndTheGap) {
  const WatchReport report = Watch();
  const pugi::xml_document svg = DrawnSvg(report, "UNHEALTHY: 2 missed pulses (limit 0)");
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
       {"\"Maroquint\": UNHEALTHY: 2 missed pulses (limit 0)", "interval - period (ms)",
        "time since the watch began (s)", "missed pulses 2 (red)", "2 missed",
        "early or extra 1 (orange)", "histogram of the deviations", "jitter limit",
        "time correction (\u03bcs)", "round-trip time"})
    EXPECT_THAT(labels, HasSubstr(label));

  // Red: one line across the timeline for the gap, and for each correction
  // an error bar of three strokes (the bar and its two ends); orange: one
  // line for the extra marker.
  EXPECT_EQ(svg.select_nodes("//polyline[@stroke='#D62728']").size(),
            1 + 3 * report.correction_points.size());
  EXPECT_EQ(svg.select_nodes("//polyline[@stroke='#FF7F0E']").size(), 1u);
}

// A mark of the SVG: where it is (x in pixels) and its colour.
struct Mark {
  double x = 0.0;
  double y = 0.0;
  double x_end = 0.0;
  double y_end = 0.0;
  std::string colour;
  std::string text;
};

// PLplot places each text with a transform matrix(a b c d e f) and draws
// each line as a polyline of two points.
std::vector<Mark> Marks(const pugi::xml_document &svg) {
  std::vector<Mark> marks;
  for (const pugi::xpath_node &node : svg.select_nodes("//text")) {
    Mark mark;
    double a = 0, b = 0, c = 0, d = 0;
    std::sscanf(node.node().attribute("transform").value(), "matrix(%lf %lf %lf %lf %lf %lf)", &a,
                &b, &c, &d, &mark.x, &mark.y);
    mark.colour = node.node().attribute("fill").value();
    mark.text = TextOf(node.node());
    marks.push_back(mark);
  }
  for (const pugi::xpath_node &node : svg.select_nodes("//polyline")) {
    Mark mark;
    if (std::sscanf(node.node().attribute("points").value(), "%lf,%lf %lf,%lf", &mark.x, &mark.y,
                    &mark.x_end, &mark.y_end) != 4)
      continue;
    mark.colour = node.node().attribute("stroke").value();
    marks.push_back(mark);
  }
  return marks;
}

std::vector<Mark> Having(const std::vector<Mark> &marks, const std::string &colour,
                         const std::string &text) {
  std::vector<Mark> found;
  for (const Mark &mark : marks)
    if (mark.colour == colour && mark.text == text) found.push_back(mark);
  return found;
}

// The simulated device with its wire cut for 3 s at 3 s: a gap of three
// pulses closed at 6.5 s, the program's catch-up 3 ms later; the program
// restarted at 10.2 s; its stream went away at 14 s after two more pulses
// had gone missing after the last marker (12 s).
TEST(Plot, EveryMissedPulseCatchUpRestartAndTheLossWhereTheyHappened) {
  WatchReport report;
  report.stream = StreamDescription{};
  report.stream->name = "Maroquint";
  report.watched = 16.0;
  report.markers = {
      {1.0, 0.0001, 0, IntervalKind::kRegular}, {2.0, -0.0001, 0, IntervalKind::kRegular},
      {6.5, 2.5037, 3, IntervalKind::kGap},     {6.503, -0.997, 0, IntervalKind::kCatchUp},
      {7.5, 0.0, 0, IntervalKind::kRegular},    {11.0, 2.5, 2, IntervalKind::kRestart},
      {12.0, 0.0, 0, IntervalKind::kRegular}};
  report.intervals.markers = 8;
  report.intervals.missed_pulses = 5;
  report.first_marker_at = 0.0;
  report.last_marker_at = 12.0;
  report.missed_after_last = 2;
  report.restarts = {{10.2, StreamDescription{}}};
  report.lost = true;
  report.gone_at_end = true;
  report.gone_at = 14.0;
  const std::vector<Mark> marks = Marks(DrawnSvg(report, "UNHEALTHY"));

  // The gap's red line and the loss's dark one give the time axis.
  std::vector<Mark> lines = Having(marks, "#D62728", "");
  ASSERT_EQ(lines.size(), 2u);  // the gap and the one across a restart
  const double gap_x = lines[0].x;
  EXPECT_EQ(lines[0].x_end, gap_x);
  const std::vector<Mark> lost = Having(marks, "#404040", "");
  ASSERT_FALSE(lost.empty());
  const double pixels_per_second = (lost[0].x - gap_x) / (14.0 - 6.5);
  ASSERT_GT(pixels_per_second, 10.0);
  const auto x_of = [&](double t) { return gap_x + (t - 6.5) * pixels_per_second; };
  for (const Mark &dash : lost) EXPECT_NEAR(dash.x, x_of(14.0), 0.1);
  EXPECT_EQ(Having(marks, "#404040", "stream lost").size(), 1u);

  // Every missed pulse a red cross where it was due: three in the gap
  // (3.5037 s long), two across the restart (3.5 s), two after the last marker.
  const std::vector<Mark> crosses = Having(marks, "#D62728", "\u00d7");
  const std::vector<double> due = {3.9963, 4.9963, 5.9963, 8.5, 9.5, 13.0, 14.0};
  ASSERT_EQ(crosses.size(), due.size());
  for (std::size_t i = 0; i < due.size(); ++i) EXPECT_NEAR(crosses[i].x, x_of(due[i]), 0.5) << i;
  for (const char *count : {"3 missed", "2 missed", "2 missed after the last marker"})
    EXPECT_EQ(Having(marks, "#D62728", count).size(), 1u) << count;

  // The catch-up 3 ms after the gap: a mark of its own, not hidden by it.
  const std::vector<Mark> catch_up = Having(marks, "#2CA02C", "\u25b2");
  ASSERT_EQ(catch_up.size(), 1u);
  EXPECT_NEAR(catch_up[0].x, x_of(6.503), 0.5);

  // The restart: a purple dashed line at 10.2 s, labelled.
  const std::vector<Mark> restart = Having(marks, "#9467BD", "");
  ASSERT_FALSE(restart.empty());
  for (const Mark &dash : restart) EXPECT_NEAR(dash.x, x_of(10.2), 0.1);
  EXPECT_EQ(Having(marks, "#9467BD", "restart").size(), 1u);

  // The jitter limit: dashed brown lines across the timeline (horizontal)
  // and the histogram (vertical).
  int horizontal = 0, vertical = 0;
  for (const Mark &dash : Having(marks, "#8C564B", "")) {
    horizontal += dash.y == dash.y_end;
    vertical += dash.x == dash.x_end;
  }
  EXPECT_GT(horizontal, 2);
  EXPECT_GT(vertical, 2);
  EXPECT_EQ(Having(marks, "#8C564B", "jitter limit").size(), 1u);
}

// An extra marker 0.2 ms after a gap: its orange line is drawn after the
// gap's red one and over the lower half only, so both stay in sight.
TEST(Plot, AnExtraMarkerNextToAGapStaysVisible) {
  WatchReport report = Watch();
  report.markers[30] = {30.0002, -0.9998, 0, IntervalKind::kEarly};
  const std::vector<Mark> marks = Marks(DrawnSvg(report, "UNHEALTHY"));
  const auto gap = std::find_if(marks.begin(), marks.end(), [](const Mark &mark) {
    return mark.colour == "#D62728" && mark.text.empty() && mark.x == mark.x_end;
  });
  const auto extra = std::find_if(marks.begin(), marks.end(), [](const Mark &mark) {
    return mark.colour == "#FF7F0E" && mark.text.empty();
  });
  ASSERT_NE(gap, marks.end());
  ASSERT_NE(extra, marks.end());
  EXPECT_GT(extra, gap);
  EXPECT_NEAR(extra->x, gap->x, 1.0);
  // The orange line is half the height of the red one.
  EXPECT_NEAR(std::fabs(extra->y_end - extra->y), std::fabs(gap->y_end - gap->y) / 2, 1.0);
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
  ASSERT_TRUE(DrawWatchPlot(with_gap, Watch(), "UNHEALTHY"));
  WatchReport regular = Watch();
  regular.markers[29] = {30.0, 0.0, 0};
  regular.markers[44] = {45.0, 0.0, 0};
  regular.correction_points.clear();
  const std::string without_gap = TempPath("-regular.png");
  ASSERT_TRUE(DrawWatchPlot(without_gap, regular, "healthy"));
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
  const RecordStatus missing = recorder.Open();
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.Code(), RecordError::kCreate);
  EXPECT_THAT(missing.Message(), ::testing::StartsWith("cannot create "));
  // A file that takes none of its bytes, as a full disk.
  const std::string full = TempPath("-full.svg");
  std::filesystem::create_symlink("/dev/full", full);
  const RecordStatus unwritable = PlotRecorder(full).Open();
  std::filesystem::remove(full);
  ASSERT_FALSE(unwritable);
  EXPECT_EQ(unwritable.Code(), RecordError::kWrite);
  EXPECT_THAT(unwritable.Message(), ::testing::StartsWith("cannot write " + full + ": "));
}

}  // namespace
}  // namespace maroquint::monitor
