// The report as one HTML page: no script, no style sheet or picture of its own elsewhere, the
// charts drawn as inline SVG, so that any browser opens it from a mail or a stick.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>

#include "TakeReport.h"

namespace kestro::avi {

namespace {

constexpr double kWidth = 760, kHeight = 220;
constexpr double kLeft = 70, kRight = 20, kTop = 28, kBottom = 36;

// The length of the UTF-8 sequence at `s`, 0 when none starts there: a record's name may hold
// bytes of another code page, which the page must not carry as text of its own.
size_t Utf8Length(std::string_view s) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const size_t n = b(0) < 0x80                   ? 1
                     : b(0) >= 0xC2 && b(0) < 0xE0 ? 2
                     : b(0) >= 0xE0 && b(0) < 0xF0 ? 3
                     : b(0) >= 0xF0 && b(0) < 0xF5 ? 4
                                                   : 0;
    if (n == 0 || n > s.size())
        return 0;
    for (size_t i = 1; i < n; ++i)
        if ((b(i) & 0xC0) != 0x80)
            return 0;
    return n;
}

// Text as the page holds it: markup characters escaped, control characters and bytes that are
// no UTF-8 shown as '?' (an XML text may hold neither).
std::string Escaped(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        const size_t n = Utf8Length(text.substr(i));
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '"')
            out += "&quot;";
        else if (n == 0 || (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t'))
            out += '?';
        else
            out.append(text.substr(i, n));
        i += n ? n : 1;
    }
    return out;
}

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::isfinite(v) ? v : 0.0);
    return text;
}

// A value for an axis label: no more digits than it needs.
std::string AxisValue(double v) {
    char text[32];
    std::snprintf(text, sizeof text, v >= 100 || v == std::floor(v) ? "%.0f" : "%.2g", v);
    return text;
}

struct Chart {
    std::string title;
    std::string unit;
    std::vector<ChartPoint> points;
    double reference = 0; // a dashed line at this value, 0 for none
    std::string referenceLabel;
    std::vector<std::pair<std::string, std::vector<ChartPoint>>> more; // further lines, named
};

// The colours of the further lines: one a data file of a striped take.
constexpr const char* kLineColours[] = {"#2e7d32", "#ef6c00", "#6a1b9a", "#00838f"};

std::string Axes(const Chart& c, double maxX, double maxY) {
    const double w = kWidth - kLeft - kRight, h = kHeight - kTop - kBottom;
    std::string svg = "<rect x=\"" + Number(kLeft) + "\" y=\"" + Number(kTop) + "\" width=\"" +
                      Number(w) + "\" height=\"" + Number(h) +
                      "\" fill=\"#fafafa\" stroke=\"#888\"/>\n";
    svg += "<text x=\"" + Number(kLeft) + "\" y=\"18\" font-size=\"14\" font-weight=\"bold\">" +
           Escaped(c.title) + "</text>\n";
    for (int i = 0; i <= 4; ++i) {
        const double y = kTop + h - h * i / 4, x = kLeft + w * i / 4;
        svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y) + "\" x2=\"" +
               Number(kLeft + w) + "\" y2=\"" + Number(y) + "\" stroke=\"#ddd\"/>\n";
        svg += "<text x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y + 4) +
               "\" font-size=\"11\" text-anchor=\"end\">" + AxisValue(maxY * i / 4) + "</text>\n";
        svg += "<text x=\"" + Number(x) + "\" y=\"" + Number(kTop + h + 16) +
               "\" font-size=\"11\" text-anchor=\"middle\">" + ClockText(maxX * i / 4) +
               "</text>\n";
    }
    svg += "<text x=\"" + Number(kLeft + w) + "\" y=\"" + Number(kHeight - 4) +
           "\" font-size=\"11\" text-anchor=\"end\">time in the take; " + Escaped(c.unit) +
           " upwards</text>\n";
    return svg;
}

std::string ChartSvg(const Chart& c) {
    double maxX = 1, maxY = c.reference;
    for (const ChartPoint& p : c.points)
        maxX = std::max(maxX, p.at), maxY = std::max(maxY, p.value);
    for (const auto& line : c.more)
        for (const ChartPoint& p : line.second)
            maxX = std::max(maxX, p.at), maxY = std::max(maxY, p.value);
    maxY = maxY > 0 ? maxY * 1.1 : 1;
    const double w = kWidth - kLeft - kRight, h = kHeight - kTop - kBottom;
    const auto x = [&](double at) { return Number(kLeft + w * std::clamp(at / maxX, 0.0, 1.0)); };
    const auto yAt = [&](double v) { return kTop + h - h * std::clamp(v / maxY, 0.0, 1.0); };
    const auto y = [&](double v) { return Number(yAt(v)); };
    std::string svg = "<svg width=\"" + Number(kWidth) + "\" height=\"" + Number(kHeight) +
                      "\" viewBox=\"0 0 " + Number(kWidth) + " " + Number(kHeight) +
                      "\" role=\"img\" font-family=\"sans-serif\">\n<title>" + Escaped(c.title) +
                      "</title>\n" + Axes(c, maxX, maxY);
    if (c.reference > 0) {
        svg += "<line x1=\"" + x(0) + "\" y1=\"" + y(c.reference) + "\" x2=\"" + x(maxX) +
               "\" y2=\"" + y(c.reference) +
               "\" stroke=\"#c62828\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n";
        svg += "<text x=\"" + Number(kLeft + w - 4) + "\" y=\"" +
               Number(std::max(kTop + 12, yAt(c.reference) - 4)) +
               "\" font-size=\"11\" fill=\"#c62828\" text-anchor=\"end\">" +
               Escaped(c.referenceLabel) + "</text>\n";
    }
    if (!c.points.empty()) {
        svg += "<polyline fill=\"none\" stroke=\"#1565c0\" stroke-width=\"1.5\" points=\"";
        for (const ChartPoint& p : c.points)
            svg += x(p.at) + "," + y(p.value) + " ";
        svg += "\"/>\n";
    }
    for (size_t i = 0; i < c.more.size(); ++i) {
        const std::string colour = kLineColours[i % std::size(kLineColours)];
        svg += "<polyline fill=\"none\" stroke=\"" + colour +
               "\" stroke-width=\"1\" stroke-dasharray=\"3 2\" points=\"";
        for (const ChartPoint& p : c.more[i].second)
            svg += x(p.at) + "," + y(p.value) + " ";
        svg += "\"/>\n<text x=\"" + Number(kLeft + 6) + "\" y=\"" +
               Number(kTop + 14 + 13 * double(i)) + "\" font-size=\"11\" fill=\"" + colour + "\">" +
               Escaped(c.more[i].first) + "</text>\n";
    }
    return svg + "</svg>\n";
}

std::vector<Chart> Charts(const JournalFindings& f) {
    Chart rate{"The disk's rate",
               "MB/s",
               {},
               f.needRate / 1e6,
               "the stream needs " + RateText(f.needRate),
               {}};
    for (size_t i = 0; i < f.buckets.size(); ++i)
        if (ShownBucket(f, i)) {
            const RateBucket& b = f.buckets[i];
            rate.points.push_back({b.at + b.seconds / 2, double(b.bytes) / b.seconds / 1e6});
        }
    for (const StripeFindings& s : f.stripes) {
        std::vector<ChartPoint> points = s.rate;
        for (ChartPoint& p : points)
            p.value /= 1e6;
        rate.more.push_back({"the disk of " + s.name, std::move(points)});
    }
    Chart inFlight{
        "Requests in flight as each write was issued", "requests", f.inFlight, double(f.requests),
        std::to_string(f.requests) + " in the pool",   {}};
    Chart writes{"Each write's time from issue to completion", "ms", f.writeMs, 0, "", {}};
    return {rate, inFlight, writes};
}

} // namespace

std::string ReportPage(const std::string& aviPath, const std::string& text,
                       const JournalFindings* journal) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n<title>Kestro32 "
        "take report: " +
        Escaped(aviPath) +
        "</title>\n<style>\nbody { font-family: sans-serif; margin: 24px; color: #222; }\n"
        ".verdict { font-size: 18px; padding: 12px; background: #fff8e1; border-left: 6px solid "
        "#f9a825; }\npre { background: #f4f4f4; padding: 12px; overflow-x: auto; }\n"
        "figure { margin: 12px 0; }\n</style>\n</head>\n<body>\n<h1>Take report</h1>\n<p>" +
        Escaped(aviPath) + "</p>\n";
    if (journal) {
        page += "<p class=\"verdict\">" + Escaped(journal->verdict) + "</p>\n";
        for (const Chart& c : Charts(*journal))
            page += "<figure>\n" + ChartSvg(c) + "</figure>\n";
    } else {
        page += "<p class=\"verdict\">No frame journal: only what the AVI says, nothing about "
                "timing.</p>\n";
    }
    return page + "<h2>The numbers</h2>\n<pre>" + Escaped(text) + "</pre>\n</body>\n</html>\n";
}

} // namespace kestro::avi
