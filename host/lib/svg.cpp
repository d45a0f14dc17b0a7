#include "svg.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace host {
namespace {

std::string xml_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string tick_label(double v, double step) {
  char buf[32];
  if (std::fabs(step) >= 1 || v == 0) std::snprintf(buf, sizeof buf, "%.0f", v);
  else {
    int digits = static_cast<int>(std::ceil(-std::log10(step)));
    std::snprintf(buf, sizeof buf, "%.*f", std::min(digits, 6), v);
  }
  return buf;
}

}  // namespace

std::vector<double> nice_ticks(double lo, double hi, int target) {
  if (!(hi > lo)) hi = lo + 1;
  const double raw = (hi - lo) / std::max(1, target);
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  double step = mag;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * mag;
    if (step >= raw) break;
  }
  std::vector<double> ticks;
  for (double t = std::ceil(lo / step - 1e-9) * step; t <= hi + step * 1e-9; t += step)
    ticks.push_back(std::fabs(t) < step * 1e-9 ? 0.0 : t);
  return ticks;
}

std::string render_svg(const Chart& c) {
  const double left = 70, right = 20, top = 40, bottom = 55;
  const double pw = c.width - left - right, ph = c.height - top - bottom;

  double x0 = 0, x1 = 1, y0 = 0, y1 = 1;
  bool any = false;
  for (const auto& s : c.series)
    for (std::size_t i = 0; i < std::min(s.x.size(), s.y.size()); ++i) {
      if (!any) x0 = x1 = s.x[i], y0 = y1 = s.y[i], any = true;
      x0 = std::min(x0, s.x[i]), x1 = std::max(x1, s.x[i]);
      y0 = std::min(y0, s.y[i]), y1 = std::max(y1, s.y[i]);
    }
  if (c.x_min) x0 = *c.x_min;
  if (c.x_max) x1 = *c.x_max;
  if (c.y_min) y0 = *c.y_min;
  if (c.y_max) y1 = *c.y_max;
  if (!(x1 > x0)) x1 = x0 + 1;
  if (!(y1 > y0)) y0 -= 1, y1 += 1;
  const auto xt = nice_ticks(x0, x1, 8);
  const auto yt = nice_ticks(y0, y1, 6);
  if (!c.x_min) x0 = std::min(x0, xt.front());
  if (!c.x_max) x1 = std::max(x1, xt.back());
  if (!c.y_min) y0 = std::min(y0, yt.front());
  // Room above the highest value (one tick step) so a flat trace does not
  // run along the frame under the legend.
  if (!c.y_max) {
    const double step = yt.size() > 1 ? yt[1] - yt[0] : 1.0;
    y1 = (std::floor(y1 / step + 1e-9) + 1) * step;
  }
  auto px = [&](double v) { return left + (v - x0) / (x1 - x0) * pw; };
  auto py = [&](double v) { return top + ph - (v - y0) / (y1 - y0) * ph; };

  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << c.width << "\" height=\"" << c.height
    << "\" viewBox=\"0 0 " << c.width << ' ' << c.height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
    << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
    << "<text x=\"" << c.width / 2 << "\" y=\"22\" text-anchor=\"middle\" font-size=\"15\">" << xml_escape(c.title)
    << "</text>\n";
  // Grid and tick labels.
  const double xstep = xt.size() > 1 ? xt[1] - xt[0] : 1, ystep = yt.size() > 1 ? yt[1] - yt[0] : 1;
  for (double t : xt) {
    if (t < x0 || t > x1) continue;
    o << "<line x1=\"" << num(px(t)) << "\" y1=\"" << num(top) << "\" x2=\"" << num(px(t)) << "\" y2=\""
      << num(top + ph) << "\" stroke=\"#e0e0e0\"/>\n"
      << "<text x=\"" << num(px(t)) << "\" y=\"" << num(top + ph + 16) << "\" text-anchor=\"middle\">"
      << tick_label(t, xstep) << "</text>\n";
  }
  for (double t : yt) {
    if (t < y0 || t > y1) continue;
    o << "<line x1=\"" << num(left) << "\" y1=\"" << num(py(t)) << "\" x2=\"" << num(left + pw) << "\" y2=\""
      << num(py(t)) << "\" stroke=\"#e0e0e0\"/>\n"
      << "<text x=\"" << num(left - 6) << "\" y=\"" << num(py(t) + 4) << "\" text-anchor=\"end\">"
      << tick_label(t, ystep) << "</text>\n";
  }
  o << "<rect x=\"" << num(left) << "\" y=\"" << num(top) << "\" width=\"" << num(pw) << "\" height=\"" << num(ph)
    << "\" fill=\"none\" stroke=\"black\"/>\n"
    << "<text x=\"" << num(left + pw / 2) << "\" y=\"" << num(c.height - 12.0) << "\" text-anchor=\"middle\">"
    << xml_escape(c.x_label) << "</text>\n"
    << "<text transform=\"translate(16," << num(top + ph / 2) << ") rotate(-90)\" text-anchor=\"middle\">"
    << xml_escape(c.y_label) << "</text>\n";
  // Data, clipped to the plot area.
  o << "<clipPath id=\"plot\"><rect x=\"" << num(left) << "\" y=\"" << num(top) << "\" width=\"" << num(pw)
    << "\" height=\"" << num(ph) << "\"/></clipPath>\n<g clip-path=\"url(#plot)\">\n";
  for (const auto& s : c.series) {
    const std::size_t n = std::min(s.x.size(), s.y.size());
    if (n == 0) continue;
    o << "<polyline fill=\"none\" stroke=\"" << xml_escape(s.color) << "\" stroke-width=\"1.5\" points=\"";
    for (std::size_t i = 0; i < n; ++i) o << (i ? " " : "") << num(px(s.x[i])) << ',' << num(py(s.y[i]));
    o << "\"/>\n";
    if (c.markers)
      for (std::size_t i = 0; i < n; ++i)
        o << "<circle cx=\"" << num(px(s.x[i])) << "\" cy=\"" << num(py(s.y[i])) << "\" r=\"2.5\" fill=\""
          << xml_escape(s.color) << "\"/>\n";
  }
  o << "</g>\n";
  // Legend.
  double ly = top + 14;
  for (const auto& s : c.series) {
    if (s.label.empty()) continue;
    o << "<line x1=\"" << num(left + pw - 110) << "\" y1=\"" << num(ly - 4) << "\" x2=\"" << num(left + pw - 90)
      << "\" y2=\"" << num(ly - 4) << "\" stroke=\"" << xml_escape(s.color) << "\" stroke-width=\"2\"/>\n"
      << "<text x=\"" << num(left + pw - 84) << "\" y=\"" << num(ly) << "\">" << xml_escape(s.label) << "</text>\n";
    ly += 16;
  }
  o << "</svg>\n";
  return o.str();
}

std::string scan_profile_svg(const Scan& scan, const std::string& title) {
  Chart c;
  c.title = title;
  c.x_label = "channel";
  c.y_label = "ADC code";
  c.x_min = 0, c.x_max = kChannels - 1;
  c.y_min = 0, c.y_max = 4095;
  c.markers = true;
  Series x{"X", "#1f77b4", {}, {}}, y{"Y", "#d62728", {}, {}};
  for (unsigned ch = 0; ch < kChannels; ++ch) {
    x.x.push_back(ch), x.y.push_back(scan[ch].x);
    y.x.push_back(ch), y.y.push_back(scan[ch].y);
  }
  c.series = {x, y};
  return render_svg(c);
}

}  // namespace host
