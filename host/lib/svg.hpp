#pragma once
// Self-contained SVG line charts: the readout's X/Y profile of a scan and a
// monitored voltage over time. No fonts, scripts or external references.
#include <optional>
#include <string>
#include <vector>

#include "tavlo.hpp"

namespace host {

struct Series {
  std::string label;
  std::string color;  // any SVG colour, e.g. "#1f77b4"
  std::vector<double> x, y;
};

struct Chart {
  std::string title, x_label, y_label;
  std::vector<Series> series;
  std::optional<double> x_min, x_max, y_min, y_max;  // fixed axis ends, else from the data
  bool markers = false;
  int width = 800, height = 450;
};

// Round tick positions covering [lo, hi], about `target` of them.
std::vector<double> nice_ticks(double lo, double hi, int target);

std::string render_svg(const Chart& chart);

// X and Y of each channel, with axes 0..63 and 0..4095.
std::string scan_profile_svg(const Scan& scan, const std::string& title);

}  // namespace host
