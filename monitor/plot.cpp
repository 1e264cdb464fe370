#include "plot.h"

#include "marker_format.h"

#include "plotting/page.h"

#include <plplot.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/text.h"

namespace maroquint::monitor {
namespace {

constexpr int kBins = 40;
// Characters per line of the verdict above the picture.
constexpr std::size_t kCaptionWidth = 90;

using plotting::kBlack, plotting::kBlue, plotting::kRed, plotting::kGrey, plotting::kOrange,
    plotting::kGreen, plotting::kPurple, plotting::kBrown, plotting::kDark;

// A silence of days would be a wall of marks; beyond this many, the missed
// pulses are drawn as one span with its count.
constexpr std::int64_t kMaxDrawnPulses = 2000;

// Milliseconds, or microseconds for values that small (a correction over
// loopback is tens of microseconds): the axis then needs no exponent.
struct Unit {
  double scale;
  const char *name;
};
Unit UnitFor(const std::vector<double> &seconds) {
  double largest = 0.0;
  for (const double value : seconds) largest = std::max(largest, std::fabs(value));
  if (largest > 0.0 && largest < 1e-3) return {1e6, "#gms"};
  return {1e3, "ms"};
}

std::vector<PLFLT> Scaled(const std::vector<double> &seconds, const Unit &unit) {
  std::vector<PLFLT> values;
  for (const double value : seconds) values.push_back(value * unit.scale);
  return values;
}

// [low, high] covering the values, never empty.
void Range(const std::vector<PLFLT> &values, PLFLT &low, PLFLT &high) {
  if (values.empty()) {
    low = -1.0;
    high = 1.0;
    return;
  }
  low = *std::min_element(values.begin(), values.end());
  high = *std::max_element(values.begin(), values.end());
  const PLFLT margin = high > low ? 0.08 * (high - low) : std::max(std::fabs(high) * 0.1, 0.001);
  low -= margin;
  high += margin;
}

// The deviations of the regular intervals in the unit they need, and a
// range that holds them and the jitter limit on both sides.
struct Deviations {
  Unit unit;
  std::vector<PLFLT> values;
  PLFLT low = 0.0;
  PLFLT high = 0.0;
};
Deviations ScaledDeviations(const std::vector<double> &deviations, double max_jitter) {
  std::vector<double> scale = deviations;
  scale.push_back(max_jitter);
  scale.push_back(-max_jitter);
  Deviations scaled{UnitFor(scale), {}, 0.0, 0.0};
  scaled.values = Scaled(deviations, scaled.unit);
  Range(Scaled(scale, scaled.unit), scaled.low, scaled.high);
  return scaled;
}

void Panel(PLFLT x_low, PLFLT x_high, PLFLT y_low, PLFLT y_high, const std::string &x_label,
           const std::string &y_label, const std::string &title) {
  plcol0(kGrey);
  plwind(x_low, x_high, y_low, y_high);
  plbox("g", 0.0, 0, "g", 0.0, 0);
  plcol0(kBlack);
  plbox("bcnst", 0.0, 0, "bcnstv", 0.0, 0);
  pllab(x_label.c_str(), y_label.c_str(), title.c_str());
}

bool Regular(const MarkerPoint &marker) {
  return marker.kind == IntervalKind::kRegular;
}

std::string Counted(std::int64_t count, const char *what) {
  return Count(count) + " " + what;
}

// The pulses that went missing, each a red cross where it was due, on the
// zero line: `count` pulses a period apart after `from`.
void MissedPulses(double from, std::int64_t count, double period, PLFLT y, PLFLT label_y,
                  const std::string &label, bool right = false) {
  if (count <= 0) return;
  plcol0(kRed);
  if (count <= kMaxDrawnPulses) {
    std::vector<PLFLT> x, ys;
    for (std::int64_t k = 1; k <= count; ++k) {
      x.push_back(from + static_cast<double>(k) * period);
      ys.push_back(y);
    }
    plstring(static_cast<PLINT>(x.size()), x.data(), ys.data(), "\u00d7");
  } else {
    pljoin(from + period, y, from + static_cast<double>(count) * period, y);
  }
  // A count after the last marker ends at its last cross, inside the panel.
  if (!label.empty())
    plptex(from + (right ? static_cast<double>(count) : 1.0) * period, label_y, 1.0, 0.0,
           right ? 1.0 : 0.0, label.c_str());
}

// Gaps, missed pulses, catch-ups, early markers, restarts and the loss of
// the stream are marks of their own colours and heights, so that marks
// milliseconds apart stay apart: a gap is a red line across the panel with
// its count at the top, its pulses red crosses where they were due, a
// catch-up a green triangle at the foot, an early or extra marker an orange
// line over the lower half, a restart a purple dashed line labelled in the
// middle. The regular intervals keep the scale, with the jitter limit as
// brown dashed lines, so that jitter of microseconds is not flattened by a
// gap of seconds.
void Timeline(const WatchReport &report, PLFLT watched) {
  std::vector<double> regular_at, regular_deviation;
  std::vector<const MarkerPoint *> gaps, catch_ups, early;
  for (const MarkerPoint &marker : report.markers) {
    if (Regular(marker)) {
      regular_at.push_back(marker.at);
      regular_deviation.push_back(marker.deviation);
    } else if (marker.kind == IntervalKind::kCatchUp) {
      catch_ups.push_back(&marker);
    } else if (marker.kind == IntervalKind::kEarly) {
      early.push_back(&marker);
    }
    if (marker.missed > 0 || marker.kind == IntervalKind::kRestart) gaps.push_back(&marker);
  }
  const Deviations scaled = ScaledDeviations(regular_deviation, report.max_jitter);
  const Unit unit = scaled.unit;
  const std::vector<PLFLT> &deviation = scaled.values;
  PLFLT low = scaled.low, high = scaled.high;
  // Room above the values for the counts, below for the catch-ups.
  const PLFLT span = high - low;
  high += 0.25 * span;
  low -= 0.12 * span;
  const std::string title = base::Format(
      "interval - period; missed pulses %lld (red), catch-ups %zu (green), early or "
      "extra %zu (orange), restarts %zu (purple)",
      static_cast<long long>(report.MissedPulses()), catch_ups.size(), early.size(),
      report.restarts.size());
  Panel(-0.02 * watched, watched, low, high, "time since the watch began (s)",
        std::string("interval - period (") + unit.name + ")", title);
  const PLFLT limit = report.max_jitter * unit.scale;
  plcol0(kBrown);
  pllsty(2);
  pljoin(-0.02 * watched, limit, watched, limit);
  pljoin(-0.02 * watched, -limit, watched, -limit);
  pllsty(1);
  plptex(0.99 * watched, limit, 1.0, 0.0, 1.0, "jitter limit");
  const PLFLT top = high - 0.06 * span;
  const PLFLT foot = low + 0.05 * span;
  plcol0(kRed);
  for (const MarkerPoint *marker : gaps) {
    if (marker->missed == 0) continue;
    pljoin(marker->at, low, marker->at, high);
    MissedPulses(marker->at - (marker->deviation + report.period), marker->missed, report.period,
                 0.0, top, "");
    plcol0(kRed);
    plptex(marker->at, top, 1.0, 0.0, 0.5, Counted(marker->missed, "missed").c_str());
  }
  if (report.intervals.markers == 0) {
    MissedPulses(0.0, report.missed_before_first, report.period, 0.0, top,
                 Counted(report.missed_before_first, "missed, no marker"));
  } else {
    MissedPulses(report.first_marker_at -
                     static_cast<double>(report.missed_before_first + 1) * report.period,
                 report.missed_before_first, report.period, 0.0, top,
                 Counted(report.missed_before_first, "missed before the first marker"));
    MissedPulses(report.last_marker_at, report.missed_after_last, report.period, 0.0, top,
                 Counted(report.missed_after_last, "missed after the last marker"), true);
  }
  // Over the gaps' lines, and only over the lower half: an extra marker
  // next to a gap leaves both in sight.
  plcol0(kOrange);
  for (const MarkerPoint *marker : early) pljoin(marker->at, low, marker->at, (low + high) / 2);
  plcol0(kPurple);
  pllsty(3);
  for (const RestartPoint &restart : report.restarts) {
    pljoin(restart.at, low, restart.at, high);
    plptex(restart.at, (low + high) / 2, 0.0, 1.0, 0.5, "restart");
  }
  pllsty(1);
  if (report.gone_at_end) {
    plcol0(kDark);
    pllsty(2);
    pljoin(report.gone_at, low, report.gone_at, high);
    pllsty(1);
    plptex(report.gone_at, (low + high) / 2, 0.0, 1.0, 0.5,
           report.lost ? "stream lost" : "outlet gone");
  }
  plcol0(kGreen);
  std::vector<PLFLT> catch_up_at, catch_up_y;
  for (const MarkerPoint *marker : catch_ups) {
    catch_up_at.push_back(marker->at);
    catch_up_y.push_back(foot);
  }
  if (!catch_up_at.empty())
    plstring(static_cast<PLINT>(catch_up_at.size()), catch_up_at.data(), catch_up_y.data(),
             "\u25b2");
  plcol0(kBlue);
  std::vector<PLFLT> at(regular_at.begin(), regular_at.end());
  if (!at.empty()) plpoin(static_cast<PLINT>(at.size()), at.data(), deviation.data(), 17);
}

void Histogram(const WatchReport &report) {
  std::vector<double> regular;
  for (const MarkerPoint &marker : report.markers)
    if (Regular(marker)) regular.push_back(marker.deviation);
  const Deviations scaled = ScaledDeviations(regular, report.max_jitter);
  const Unit unit = scaled.unit;
  const std::vector<PLFLT> &deviation = scaled.values;
  const PLFLT low = scaled.low, high = scaled.high;
  const PLFLT width = (high - low) / kBins;
  std::vector<PLFLT> centre(kBins), count(kBins, 0.0);
  for (int i = 0; i < kBins; ++i) centre[i] = low + (i + 0.5) * width;
  for (const PLFLT value : deviation)
    count[std::min(kBins - 1, static_cast<int>((value - low) / width))] += 1.0;
  const PLFLT top = std::max<PLFLT>(1.0, *std::max_element(count.begin(), count.end())) * 1.1;
  Panel(low, high, 0.0, top, std::string("interval - period (") + unit.name + ")", "markers",
        "histogram of the deviations (regular intervals); jitter limit (brown)");
  plcol0(kBlue);
  plbin(kBins, centre.data(), count.data(), PL_BIN_CENTRED);
  const PLFLT limit = report.max_jitter * unit.scale;
  plcol0(kBrown);
  pllsty(2);
  pljoin(-limit, 0.0, -limit, top);
  pljoin(limit, 0.0, limit, top);
  pllsty(1);
}

void Correction(const WatchReport &report, PLFLT watched) {
  std::vector<PLFLT> at;
  std::vector<double> value, low_bar, high_bar;
  for (const CorrectionPoint &point : report.correction_points) {
    at.push_back(point.at);
    value.push_back(point.correction);
    // The correction is off by at most half the round trip.
    low_bar.push_back(point.correction - point.round_trip / 2);
    high_bar.push_back(point.correction + point.round_trip / 2);
  }
  std::vector<double> both = low_bar;
  both.insert(both.end(), high_bar.begin(), high_bar.end());
  const Unit unit = UnitFor(both);
  const std::vector<PLFLT> scaled_value = Scaled(value, unit);
  const std::vector<PLFLT> scaled_low = Scaled(low_bar, unit);
  const std::vector<PLFLT> scaled_high = Scaled(high_bar, unit);
  std::vector<PLFLT> scaled_both = scaled_low;
  scaled_both.insert(scaled_both.end(), scaled_high.begin(), scaled_high.end());
  PLFLT low = 0.0, high = 0.0;
  Range(scaled_both, low, high);
  Panel(-0.02 * watched, watched, low, high, "time since the watch began (s)",
        std::string("time correction (") + unit.name + ")",
        "time correction, with +/- half its round-trip time (red)");
  if (at.empty()) return;
  const auto n = static_cast<PLINT>(at.size());
  plcol0(kRed);
  plerry(n, at.data(), scaled_low.data(), scaled_high.data());
  plcol0(kBlue);
  plline(n, at.data(), scaled_value.data());
  plpoin(n, at.data(), scaled_value.data(), 17);
}

// The verdict in lines of at most kCaptionWidth characters, broken after
// the reasons' separators.
std::vector<std::string> CaptionLines(const std::string &caption) {
  std::vector<std::string> lines(1);
  std::size_t from = 0;
  while (from < caption.size()) {
    std::size_t to = caption.find("; ", from);
    to = to == std::string::npos ? caption.size() : to + 2;
    const std::string piece = caption.substr(from, to - from);
    if (!lines.back().empty() && lines.back().size() + piece.size() > kCaptionWidth)
      lines.emplace_back();
    lines.back() += piece;
    from = to;
  }
  return lines;
}

// A picture that came out empty is a failed write; any other failure of
// the page is a file that cannot be created.
RecordStatus RecordStatusOf(const plotting::PageStatus &page) {
  if (page) return {};
  return base::Fail(
      page.Code() == plotting::PageError::kCannotWrite ? RecordError::kWrite : RecordError::kCreate,
      page.Message());
}

}  // namespace

RecordStatus DrawWatchPlot(const std::string &path, const WatchReport &report,
                           const std::string &verdict) {
  // Drawn last, after the other files are complete: should PLplot fail, it
  // ends the process as a failed write.
  const plotting::PageStatus begun =
      plotting::BeginPage(path, {"maroquint-monitor", kExitWriteFailed});
  if (!begun) return RecordStatusOf(begun);
  const PLFLT watched = std::max(report.watched, 1.0);
  // Three panels one above the other; the verdict above them all.
  plcol0(kBlack);
  const std::vector<std::string> caption =
      CaptionLines((report.stream ? "\"" + report.stream->name + "\": " : "") + verdict);
  plvpor(0.0, 1.0, 0.0, 0.985);
  for (std::size_t i = 0; i < caption.size(); ++i)
    plmtex("t", -1.5 * static_cast<PLFLT>(i + 1), 0.5, 0.5, caption[i].c_str());
  plvpor(0.1, 0.96, 0.69, 0.90);
  Timeline(report, watched);
  plvpor(0.1, 0.96, 0.39, 0.60);
  Histogram(report);
  plvpor(0.1, 0.96, 0.08, 0.29);
  Correction(report, watched);
  return RecordStatusOf(plotting::EndPage(path));
}

RecordStatus PlotRecorder::Open() {
  if (const plotting::PageStatus checked = plotting::CheckPath(path_); !checked)
    return RecordStatusOf(checked);
  // A full disk is found before the watch too.
  errno = 0;
  std::FILE *file = std::fopen(path_.c_str(), "wb");
  if (!file)
    return base::Fail(RecordError::kCreate, "cannot create " + path_ + ": " + std::strerror(errno));
  const bool written = std::fputc('\n', file) != EOF && std::fflush(file) == 0;
  const int error = errno;
  std::fclose(file);
  if (!written)
    return base::Fail(RecordError::kWrite,
                      "cannot write " + path_ + ": " + std::strerror(error != 0 ? error : EIO));
  return {};
}

RecordStatus PlotRecorder::Finish(const WatchReport &report,
                                  const std::vector<std::string> &reasons, int) {
  return DrawWatchPlot(path_, report, VerdictLine(reasons));
}

}  // namespace maroquint::monitor
