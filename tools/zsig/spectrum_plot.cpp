#include "spectrum_plot.h"

#include "output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zsig {
namespace {

constexpr double kWidth = 960, kHeight = 540;
constexpr double kLeft = 70, kRight = 20, kTop = 40, kBottom = 50;

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string frequencyLabel(double f) {
    if (f >= 1000) return fixed(f / 1000, f >= 10000 || std::fmod(f, 1000) == 0 ? 0 : 1) + " kHz";
    return fixed(f, 0) + " Hz";
}

} // namespace

std::vector<Peak> findPeaks(const Spectrum& s, size_t count, double prominence, size_t guard) {
    const size_t n = s.level.size();
    if (n == 0) return {};
    std::vector<double> finite;
    for (double v : s.level)
        if (std::isfinite(v)) finite.push_back(v);
    if (finite.empty()) return {};
    std::nth_element(finite.begin(), finite.begin() + finite.size() / 2, finite.end());
    const double floor = finite[finite.size() / 2];

    std::vector<Peak> peaks;
    for (size_t i = 0; i < n; ++i) {
        const double v = s.level[i];
        if (!std::isfinite(v) || v < floor + prominence) continue;
        bool highest = true;
        for (size_t j = i > guard ? i - guard : 0; j <= std::min(n - 1, i + guard) && highest; ++j)
            if (j != i && (s.level[j] > v || (s.level[j] == v && j < i))) highest = false;
        if (highest) peaks.push_back({i, s.frequency[i], v});
    }
    std::sort(peaks.begin(), peaks.end(),
              [](const Peak& a, const Peak& b) { return a.level > b.level; });
    if (peaks.size() > count) peaks.resize(count);
    return peaks;
}

std::string spectrumSvg(const Spectrum& s, const std::vector<Peak>& peaks) {
    const double fMin = s.frequency.empty() ? 10 : s.frequency.front();
    const double fMax = s.frequency.empty() ? 20000 : s.frequency.back();
    double top = -1e300;
    for (double v : s.level)
        if (std::isfinite(v)) top = std::max(top, v);
    if (top < -1e299) top = 0;
    const double yMax = std::ceil((top + 5) / 10) * 10;
    const double yMin = yMax - 120;
    const double plotW = kWidth - kLeft - kRight, plotH = kHeight - kTop - kBottom;
    const auto x = [&](double f) {
        return kLeft + plotW * std::log10(f / fMin) / std::log10(fMax / fMin);
    };
    const auto y = [&](double db) {
        return kTop + plotH * (yMax - std::clamp(db, yMin, yMax)) / (yMax - yMin);
    };

    std::string svg;
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + fixed(kWidth, 0) +
           "\" height=\"" + fixed(kHeight, 0) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"" + fixed(kWidth / 2, 0) +
           "\" y=\"24\" text-anchor=\"middle\" font-size=\"15\">" + escape(s.title) + "</text>\n";

    // Grid: 1, 2 and 5 of every decade; every 10 dB.
    svg += "<g stroke=\"#ddd\" stroke-width=\"1\">\n";
    std::string labels;
    for (double decade = std::pow(10, std::floor(std::log10(fMin))); decade <= fMax; decade *= 10)
        for (double m : {1.0, 2.0, 5.0}) {
            const double f = decade * m;
            if (f < fMin || f > fMax) continue;
            const std::string px = fixed(x(f), 1);
            svg += "<line x1=\"" + px + "\" y1=\"" + fixed(kTop, 0) + "\" x2=\"" + px + "\" y2=\"" +
                   fixed(kTop + plotH, 0) + "\"/>\n";
            labels += "<text x=\"" + px + "\" y=\"" + fixed(kTop + plotH + 16, 0) +
                      "\" text-anchor=\"middle\">" + frequencyLabel(f) + "</text>\n";
        }
    for (double db = yMin; db <= yMax; db += 10) {
        const std::string py = fixed(y(db), 1);
        svg += "<line x1=\"" + fixed(kLeft, 0) + "\" y1=\"" + py + "\" x2=\"" +
               fixed(kLeft + plotW, 0) + "\" y2=\"" + py + "\"/>\n";
        labels += "<text x=\"" + fixed(kLeft - 6, 0) + "\" y=\"" + fixed(y(db) + 4, 1) +
                  "\" text-anchor=\"end\">" + fixed(db, 0) + "</text>\n";
    }
    svg += "</g>\n" + labels;
    svg += "<text x=\"" + fixed(kLeft + plotW / 2, 0) + "\" y=\"" + fixed(kHeight - 10, 0) +
           "\" text-anchor=\"middle\">Frequency, Hz</text>\n";
    svg += "<text transform=\"translate(18 " + fixed(kTop + plotH / 2, 0) +
           ") rotate(-90)\" text-anchor=\"middle\">Level, dB</text>\n";
    svg += "<rect x=\"" + fixed(kLeft, 0) + "\" y=\"" + fixed(kTop, 0) + "\" width=\"" +
           fixed(plotW, 0) + "\" height=\"" + fixed(plotH, 0) +
           "\" fill=\"none\" stroke=\"#333\"/>\n";

    // The trace: per pixel column the lowest and highest level, so no peak is lost.
    svg += "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"1\" points=\"";
    for (size_t i = 0; i < s.level.size();) {
        const int column = static_cast<int>(x(s.frequency[i]));
        double lo = s.level[i], hi = s.level[i];
        size_t j = i + 1;
        for (; j < s.level.size() && static_cast<int>(x(s.frequency[j])) == column; ++j) {
            lo = std::min(lo, s.level[j]);
            hi = std::max(hi, s.level[j]);
        }
        svg += fixed(column, 0) + "," + fixed(y(lo), 1) + " ";
        if (hi != lo) svg += fixed(column, 0) + "," + fixed(y(hi), 1) + " ";
        i = j;
    }
    svg += "\"/>\n";

    for (const Peak& p : peaks) {
        const std::string px = fixed(x(p.frequency), 1), py = fixed(y(p.level), 1);
        svg += "<circle cx=\"" + px + "\" cy=\"" + py +
               "\" r=\"4\" fill=\"none\" stroke=\"#c0392b\" "
               "stroke-width=\"1.5\"/>\n";
        svg += "<text x=\"" + px + "\" y=\"" + fixed(y(p.level) - 8, 1) +
               "\" text-anchor=\"middle\" fill=\"#c0392b\">" + fixed(p.frequency, 1) + " Hz, " +
               fixed(p.level, 1) + " dB</text>\n";
    }
    svg += "</svg>\n";
    return svg;
}

std::string spectrumCsv(const Spectrum& s) {
    std::string out = "frequency_hz,level_db\n";
    for (size_t i = 0; i < s.level.size(); ++i)
        out += exactNumber(s.frequency[i]) + "," + exactNumber(s.level[i]) + "\n";
    return out;
}

} // namespace zsig
