// The picture read back: the SVG parsed as XML, its marks placed in page
// coordinates and checked against the alignment they were drawn from.
#include "plot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "test_files.h"

namespace maroquint::align {
namespace {

using ::testing::HasSubstr;

constexpr double kA = 12.345678;
constexpr double kDriftPpm = 25;
constexpr double kFirstOnset = 5;

// A recording of 100 pulses a second apart, started before the EEG (three
// markers without onset) and with the trigger wire cut for five pulses
// at 45 s; the EEG has one onset no marker matches, at 80.5 s. Residuals of
// a tenth of a millisecond, and two outliers of tens of milliseconds.
struct Recording {
  std::vector<double> onsets;
  std::vector<double> markers;
  Alignment result;
  Sources sources;

  explicit Recording(std::string eeg = "run7.bdf, channel Status, bit 0",
                     std::string marker_source = "run7.xdf, stream Maroquint") {
    result.a = kA;
    result.b = 1 / (1 + kDriftPpm * 1e-6);
    for (int i = 0; i < 100; ++i)
      if (i < 40 || i >= 45) onsets.push_back(kFirstOnset + i);
    onsets.push_back(80.5);
    std::sort(onsets.begin(), onsets.end());
    for (int i = -3; i < 100; ++i)
      markers.push_back(result.a + result.b * (kFirstOnset + i) + ((i * 7) % 11 - 5) * 2e-5);
    for (std::size_t k = 0; k < onsets.size(); ++k) {
      if (onsets[k] == 80.5) {
        result.unmatched_onsets.push_back(k);
        continue;
      }
      const auto j = static_cast<std::size_t>(onsets[k] - kFirstOnset + 3);
      Pair pair{k, j, onsets[k], markers[j]};
      pair.residual = markers[j] - (result.a + result.b * onsets[k]);
      if (k == 10 || k == 20) {
        pair.residual = k == 10 ? 0.05 : -0.03;
        pair.outlier = true;
        ++result.outliers;
      }
      result.pairs.push_back(pair);
    }
    for (std::size_t j = 0; j < 3; ++j) result.unmatched_markers.push_back(j);
    for (std::size_t j = 43; j < 48; ++j) result.unmatched_markers.push_back(j);
    sources.eeg = std::move(eeg);
    sources.markers = std::move(marker_source);
    sources.rate = 2048;
    sources.onset_times = &onsets;
    sources.marker_times = &markers;
  }

  // The sources point into this recording.
  Recording(const Recording &) = delete;
  Recording &operator=(const Recording &) = delete;

  double MappedMarker(std::size_t j) const { return (markers[j] - result.a) / result.b; }
};

// All the text under a node.
std::string TextOf(const pugi::xml_node &node) {
  static const pugi::xpath_query kText("string(.)");
  return kText.evaluate_string(pugi::xpath_node(node));
}

// Lines of text as one: sentences may be wrapped.
std::string Flowing(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

struct Point {
  double x;
  double y;
};

// An SVG affine transform: x' = a x + c y + e, y' = b x + d y + f.
struct Affine {
  double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

  Point operator()(Point p) const { return {a * p.x + c * p.y + e, b * p.x + d * p.y + f}; }
  Affine Then(const Affine &outer) const {
    return {outer.a * a + outer.c * b,           outer.b * a + outer.d * b,
            outer.a * c + outer.c * d,           outer.b * c + outer.d * d,
            outer.a * e + outer.c * f + outer.e, outer.b * e + outer.d * f + outer.f};
  }
};

// The transform from a node's coordinates to the page's. PLplot writes
// its transforms as matrix(...) only; anything else fails the test.
Affine ToPage(pugi::xml_node node) {
  Affine total;
  for (; node; node = node.parent()) {
    const std::string transform = node.attribute("transform").value();
    if (transform.empty()) continue;
    Affine own;
    EXPECT_EQ(std::sscanf(transform.c_str(), "matrix(%lf %lf %lf %lf %lf %lf)", &own.a, &own.b,
                          &own.c, &own.d, &own.e, &own.f),
              6)
        << transform;
    total = total.Then(own);
  }
  return total;
}

std::vector<Point> PolylinePoints(const pugi::xml_node &polyline) {
  const Affine to_page = ToPage(polyline);
  std::vector<Point> points;
  std::istringstream in(polyline.attribute("points").value());
  Point p{};
  char comma = 0;
  while (in >> p.x >> comma >> p.y) points.push_back(to_page(p));
  return points;
}

std::size_t Characters(const std::string &utf8) {
  return static_cast<std::size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The corners of the box a text takes, from its anchor and size: sans-serif
// characters are at most 0.6 of the font size wide on average, and rise
// 0.8 above the baseline and fall 0.25 below it.
std::vector<Point> TextCorners(const pugi::xml_node &text) {
  const double size = text.attribute("font-size").as_double();
  const double width = 0.6 * size * static_cast<double>(Characters(TextOf(text)));
  const std::string anchor = text.attribute("text-anchor").value();
  const double before = anchor == "end" ? width : anchor == "middle" ? width / 2 : 0;
  const double x = text.attribute("x").as_double(), y = text.attribute("y").as_double();
  const Affine to_page = ToPage(text);
  std::vector<Point> corners;
  for (const double dx : {-before, width - before})
    for (const double dy : {-0.8 * size, 0.25 * size}) corners.push_back(to_page({x + dx, y + dy}));
  return corners;
}

struct Picture {
  pugi::xml_document svg;
  double width = 0;
  double height = 0;

  bool Inside(Point p) const { return p.x >= 0 && p.x <= width && p.y >= 0 && p.y <= height; }

  std::vector<pugi::xml_node> Texts() const {
    std::vector<pugi::xml_node> nodes;
    for (const pugi::xpath_node &node : svg.select_nodes("//*[local-name()='text']"))
      nodes.push_back(node.node());
    return nodes;
  }

  std::string AllText() const {
    std::string all;
    for (const pugi::xml_node &text : Texts()) all += TextOf(text) + "\n";
    return all;
  }

  std::vector<pugi::xml_node> Polylines(const std::string &stroke = "") const {
    std::vector<pugi::xml_node> nodes;
    for (const pugi::xpath_node &node : svg.select_nodes("//*[local-name()='polyline']"))
      if (stroke.empty() || node.node().attribute("stroke").value() == stroke)
        nodes.push_back(node.node());
    return nodes;
  }

  // The texts of one string in one colour (PLplot draws point symbols as text).
  std::vector<pugi::xml_node> Symbols(const std::string &symbol, const std::string &fill) const {
    std::vector<pugi::xml_node> nodes;
    for (const pugi::xml_node &text : Texts())
      if (TextOf(text) == symbol && text.attribute("fill").value() == fill) nodes.push_back(text);
    return nodes;
  }
};

class Plot : public test::TempFolder {
 protected:
  // Draws into an SVG file and reads it back.
  void Draw(const Recording &recording, const PlotAnnotations &annotations, Picture &picture) {
    const std::string path = Path("plot.svg");
    const auto drawn = PlotResiduals(recording.result, recording.sources, annotations, path);
    ASSERT_TRUE(drawn.Ok()) << drawn.Message();
    const pugi::xml_parse_result parsed = picture.svg.load_file(path.c_str());
    ASSERT_TRUE(parsed) << parsed.description();
    const pugi::xml_node root = picture.svg.document_element();
    ASSERT_STREQ(root.name(), "svg");
    double x = -1, y = -1;
    ASSERT_EQ(std::sscanf(root.attribute("viewBox").value(), "%lf %lf %lf %lf", &x, &y,
                          &picture.width, &picture.height),
              4);
    ASSERT_EQ(x, 0);
    ASSERT_EQ(y, 0);
  }
};

void ExpectEverythingOnThePage(const Picture &picture) {
  for (const pugi::xml_node &text : picture.Texts())
    for (const Point &corner : TextCorners(text))
      EXPECT_TRUE(picture.Inside(corner))
          << "\"" << TextOf(text) << "\" reaches " << corner.x << ", " << corner.y;
  for (const pugi::xml_node &polyline : picture.Polylines())
    for (const Point &point : PolylinePoints(polyline))
      EXPECT_TRUE(picture.Inside(point)) << "a line reaches " << point.x << ", " << point.y;
}

// Ticks of one colour stand where their times fall on the line of another
// colour that runs from the first time to the last: x is linear in time.
void ExpectTicksAt(const Picture &picture, const std::string &span_stroke,
                   const std::string &tick_stroke, double first, double last,
                   const std::vector<double> &times) {
  const std::vector<pugi::xml_node> spans = picture.Polylines(span_stroke);
  ASSERT_EQ(spans.size(), 1u);
  const std::vector<Point> span = PolylinePoints(spans[0]);
  ASSERT_EQ(span.size(), 2u);
  const std::vector<pugi::xml_node> ticks = picture.Polylines(tick_stroke);
  ASSERT_EQ(ticks.size(), times.size());
  for (std::size_t k = 0; k < times.size(); ++k) {
    const double expected =
        span[0].x + (times[k] - first) / (last - first) * (span[1].x - span[0].x);
    const std::vector<Point> tick = PolylinePoints(ticks[k]);
    ASSERT_EQ(tick.size(), 2u);
    EXPECT_NEAR(tick[0].x, expected, 0.05) << "tick " << k;
    EXPECT_NEAR(tick[1].x, expected, 0.05) << "tick " << k;
    // Across the span's row.
    EXPECT_LT(std::min(tick[0].y, tick[1].y), span[0].y);
    EXPECT_GT(std::max(tick[0].y, tick[1].y), span[0].y);
  }
}

TEST_F(Plot, UnmatchedOnsetsAndMarkersStandWhereTheyFallInTime) {
  const Recording recording;
  Picture picture;
  ASSERT_NO_FATAL_FAILURE(Draw(recording, {}, picture));
  // Orange for the onsets, purple for the markers (light for the spans).
  std::vector<double> onsets, markers;
  for (std::size_t i : recording.result.unmatched_onsets) onsets.push_back(recording.onsets[i]);
  ExpectTicksAt(picture, "#FFC896", "#FF7F0E", recording.onsets.front(), recording.onsets.back(),
                onsets);
  for (std::size_t j : recording.result.unmatched_markers)
    markers.push_back(recording.MappedMarker(j));
  ExpectTicksAt(picture, "#D2BEE6", "#9467BD", recording.MappedMarker(0),
                recording.MappedMarker(recording.markers.size() - 1), markers);
  const std::string text = picture.AllText();
  EXPECT_THAT(text, HasSubstr("onsets without marker: 1 (orange)"));
  EXPECT_THAT(text, HasSubstr("markers without onset: 8 (purple)"));
  ExpectEverythingOnThePage(picture);
}

TEST_F(Plot, TheTextCarriesTheMappingItsIntervalsAndTheInputs) {
  const Recording recording;
  Picture with, without;
  ASSERT_NO_FATAL_FAILURE(
      Draw(recording, {Interval{12.3456, 12.3457}, Interval{24.5, 25.5}, {}}, with));
  ASSERT_NO_FATAL_FAILURE(Draw(recording, {}, without));
  const std::string text = with.AllText();
  for (const char *part :
       {"run7.bdf, channel Status, bit 0: 96 onsets", "run7.xdf, stream Maroquint: 103 markers",
        "a = 12.345678 s", "b = 0.9999750006249845", "rate 2048 Hz", "drift 25.00 ppm",
        "95 % intervals: a [12.345600, 12.345700] s,  drift [24.50, 25.50] ppm"})
    EXPECT_THAT(text, HasSubstr(part));
  EXPECT_THAT(without.AllText(), HasSubstr("no 95 % intervals"));
  // PLplot's escape character and a control character in a name.
  const Recording odd("take#2.bdf\nchannel Status", "take#2.xdf");
  Picture named;
  ASSERT_NO_FATAL_FAILURE(Draw(odd, {}, named));
  EXPECT_THAT(named.AllText(), HasSubstr("EEG: take#2.bdf?channel Status: 96 onsets"));
  EXPECT_THAT(named.AllText(), HasSubstr("markers: take#2.xdf: 103 markers"));
  EXPECT_THAT(without.AllText(), HasSubstr("drift 25.00 ppm"));
  ExpectEverythingOnThePage(with);
}

// The scale is the regular residuals' (a tenth of a millisecond), not the
// outliers' (tens of milliseconds): the regular points fill the panel's
// height, and the outliers beyond it stand at its edges, inside it; an
// outlier within it stands at its place.
TEST_F(Plot, TheScaleFitsTheResidualsAndOutliersStandAtItsEdge) {
  Recording recording;
  recording.result.pairs[30].residual = 2e-5;
  recording.result.pairs[30].outlier = true;
  ++recording.result.outliers;
  Picture picture;
  ASSERT_NO_FATAL_FAILURE(Draw(recording, {}, picture));
  const std::vector<pugi::xml_node> points = picture.Symbols("\u2022", "#1F57B4");
  ASSERT_EQ(points.size(), recording.result.pairs.size() - recording.result.outliers);
  const std::vector<pugi::xml_node> up = picture.Symbols("\u25b2", "#D62728");
  const std::vector<pugi::xml_node> down = picture.Symbols("\u25bc", "#D62728");
  const std::vector<pugi::xml_node> within = picture.Symbols("\u00d7", "#D62728");
  ASSERT_EQ(up.size(), 1u);
  ASSERT_EQ(down.size(), 1u);
  ASSERT_EQ(within.size(), 1u);

  // The panel is the clip path of its points.
  const std::string clip = points[0].parent().attribute("clip-path").value();
  ASSERT_EQ(clip.rfind("url(#", 0), 0u);
  const pugi::xpath_node frame = picture.svg.select_node(
      ("//*[@id='" + clip.substr(5, clip.size() - 6) + "']/*[local-name()='polygon']").c_str());
  ASSERT_TRUE(frame);
  pugi::xml_node polygon = frame.node();
  polygon.set_name("polyline");
  const std::vector<Point> corners = PolylinePoints(polygon);
  ASSERT_EQ(corners.size(), 4u);
  double top = corners[0].y, bottom = corners[0].y;
  for (const Point &corner : corners)
    top = std::min(top, corner.y), bottom = std::max(bottom, corner.y);

  auto y_of = [](const pugi::xml_node &text) {
    return ToPage(text)({text.attribute("x").as_double(), 0}).y;
  };
  double highest = bottom, lowest = top;
  for (const pugi::xml_node &point : points) {
    EXPECT_EQ(point.parent().attribute("clip-path").value(), clip);
    highest = std::min(highest, y_of(point));
    lowest = std::max(lowest, y_of(point));
    EXPECT_GT(y_of(point), top);
    EXPECT_LT(y_of(point), bottom);
  }
  EXPECT_GT(lowest - highest, 0.7 * (bottom - top));
  // 20 μs: a fifth of the way from the middle of ±100 μs to the top.
  EXPECT_NEAR(y_of(within[0]), (highest + lowest) / 2 - 0.1 * (lowest - highest),
              0.02 * (lowest - highest));
  // Within the frame, by more than half their size.
  const double size = up[0].attribute("font-size").as_double();
  EXPECT_NEAR(y_of(up[0]), top, 0.1 * (bottom - top));
  EXPECT_GT(y_of(up[0]) - top, size / 2);
  EXPECT_NEAR(y_of(down[0]), bottom, 0.1 * (bottom - top));
  EXPECT_GT(bottom - y_of(down[0]), size / 2);
  EXPECT_THAT(picture.AllText(),
              HasSubstr("outliers: 3 (red \u00d7), 2 beyond the scale at its edge (\u25b2 \u25bc), "
                        "largest |r| 50.000 ms"));
}

TEST_F(Plot, LongInputNamesKeepTheirEndsAndStayOnThePage) {
  const std::string deep = "/data/" + std::string(200, 'd') + "/";
  const Recording recording(deep + "run7.bdf, channel Status, bit 0",
                            deep + "run7.xdf, stream Maroquint");
  Picture picture;
  ASSERT_NO_FATAL_FAILURE(Draw(recording, {}, picture));
  const std::string text = picture.AllText();
  EXPECT_THAT(text, HasSubstr("EEG: /data/dd"));
  EXPECT_THAT(text, HasSubstr("dd\u2026dd"));
  EXPECT_THAT(text, HasSubstr("ddd/run7.bdf, channel Status, bit 0: 96 onsets"));
  EXPECT_THAT(text, HasSubstr("ddd/run7.xdf, stream Maroquint: 103 markers"));
  ExpectEverythingOnThePage(picture);
}

TEST_F(Plot, AResultWithoutMappingSaysSoAndPlacesNoMarkers) {
  Recording recording;
  recording.result.outcome = Outcome::kTooFewPairs;
  Picture picture;
  ASSERT_NO_FATAL_FAILURE(Draw(recording, {}, picture));
  const std::string text = picture.AllText();
  EXPECT_THAT(Flowing(text), HasSubstr("cannot align: " + Describe(Outcome::kTooFewPairs) +
                                       "; no mapping is established"));
  EXPECT_THAT(text, HasSubstr("markers without onset: 8 (not placed: no mapping)"));
  EXPECT_THAT(text, ::testing::Not(HasSubstr("a = 12.345678")));
  EXPECT_TRUE(picture.Polylines("#9467BD").empty());
  ExpectEverythingOnThePage(picture);
}

TEST_F(Plot, WarningsAreOnThePictureWrappedAndBounded) {
  const Recording recording;
  const std::string drift =
      "a drift of 500 ppm is beyond any amplifier's or PC's clock: the markers were stamped late "
      "or the pairs are wrong";
  PlotAnnotations annotations;
  annotations.warnings = {drift, "the pairing shifted by -1 pulse fits as well"};
  Picture picture;
  ASSERT_NO_FATAL_FAILURE(Draw(recording, annotations, picture));
  const std::string text = Flowing(picture.AllText());
  EXPECT_THAT(text, HasSubstr("warning: " + drift));
  EXPECT_THAT(text, HasSubstr("warning: the pairing shifted by -1 pulse fits as well"));
  ExpectEverythingOnThePage(picture);

  // More than the space above the panels holds: the rest is counted.
  annotations.warnings.assign(12, drift);
  Picture crowded;
  ASSERT_NO_FATAL_FAILURE(Draw(recording, annotations, crowded));
  EXPECT_THAT(crowded.AllText(), ::testing::ContainsRegex("and [0-9]+ more lines in the report"));
  ExpectEverythingOnThePage(crowded);
}

TEST_F(Plot, PngAndBadPathsAreReported) {
  const Recording recording;
  const auto drawn = PlotResiduals(recording.result, recording.sources, {}, Path("plot.png"));
  ASSERT_TRUE(drawn.Ok()) << drawn.Message();
  EXPECT_EQ(test::ReadFile(Path("plot.png")).substr(0, 8), "\x89PNG\r\n\x1a\n");

  const auto pdf = PlotResiduals(recording.result, recording.sources, {}, Path("plot.pdf"));
  ASSERT_FALSE(pdf.Ok());
  EXPECT_EQ(pdf.Code(), PlotError::kUnknownFormat);
  EXPECT_THAT(pdf.Message(), HasSubstr(".svg or .png"));
  const auto missing =
      PlotResiduals(recording.result, recording.sources, {}, Path("missing/plot.svg"));
  ASSERT_FALSE(missing.Ok());
  EXPECT_EQ(missing.Code(), PlotError::kCannotWrite);
  // A device that takes the file but none of its bytes, as a full disk.
  std::filesystem::create_symlink("/dev/full", Path("full.svg"));
  const auto written = PlotResiduals(recording.result, recording.sources, {}, Path("full.svg"));
  ASSERT_FALSE(written.Ok());
  EXPECT_EQ(written.Code(), PlotError::kCannotWrite);
  EXPECT_THAT(written.Message(), HasSubstr("came out empty"));
}

}  // namespace
}  // namespace maroquint::align
