// Lines and progress of a child's output.
#include "app/childprogress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qb::app {

namespace {

bool StartsWith(const std::string& s, std::string_view prefix) {
    return s.size() >= prefix.size() && std::string_view(s).substr(0, prefix.size()) == prefix;
}

// The whole number that starts at `pos` (after blanks), advancing `pos`; false when none.
bool TakeNumber(const std::string& s, size_t& pos, int& value) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    const size_t start = pos;
    long v = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && pos - start < 9) v = v * 10 + (s[pos++] - '0');
    if (pos == start) return false;
    value = static_cast<int>(v);
    return true;
}

// "Converting Image 2 / 3 ..." gives 2 and 3.
bool ParseConverting(const std::string& line, int& image, int& images) {
    static constexpr std::string_view kPrefix = "Converting Image";
    if (!StartsWith(line, kPrefix)) return false;
    size_t pos = kPrefix.size();
    if (!TakeNumber(line, pos, image)) return false;
    while (pos < line.size() && line[pos] == ' ') ++pos;
    if (pos >= line.size() || line[pos] != '/') return false;
    ++pos;
    return TakeNumber(line, pos, images) && images > 0 && image >= 1 && image <= images;
}

std::string OfText(int k, int n) {
    return n > 0 ? std::to_string(k) + " of " + std::to_string(n) : std::to_string(k);
}

}  // namespace

// ---------------------------------------------------------------------------------------

void TOutputLines::Feed(std::string_view bytes, const std::function<void(const std::string&)>& onLine) {
    for (const char c : bytes) {
        if (c == '\n') {
            const std::string done = std::move(line_);
            line_.clear();
            if (onLine) onLine(done);
        } else if (c == '\r') {
            line_.clear();
        } else if (c == '\b') {
            if (!line_.empty()) line_.pop_back();
        } else if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) {
            // other control characters show nothing
        } else if (line_.size() < kMaxLine) {
            line_ += c;
        }
    }
}

void TOutputLines::Flush(const std::function<void(const std::string&)>& onLine) {
    if (line_.empty()) return;
    const std::string done = std::move(line_);
    line_.clear();
    if (onLine) onLine(done);
}

// ---------------------------------------------------------------------------------------

void TChildProgress::Feed(std::string_view bytes) {
    const auto onLine = [this](const std::string& line) { TakeLine(line); };
    for (size_t i = 0; i < bytes.size(); ++i) {
        lines_.Feed(bytes.substr(i, 1), onLine);
        if (bytes[i] != '%') continue;
        // A percentage counter: the digits just before the sign.
        const std::string& current = lines_.Current();
        size_t end = current.size() - 1, start = end;
        while (start > 0 && current[start - 1] >= '0' && current[start - 1] <= '9' && end - start < 3) --start;
        if (start == end) continue;
        int value = 0;
        size_t pos = start;
        if (TakeNumber(current, pos, value) && value <= 100) {
            if (kind_ == TKind::Stitcher && !writing_ && StartsWith(current, "Writing Output Images")) {
                writing_ = true;
                SetStage("Writing the layers");
            }
            TakePercent(value);
        }
    }
}

void TChildProgress::Finish(bool succeeded) {
    lines_.Flush([this](const std::string& line) { TakeLine(line); });
    if (succeeded) SetPercent(100);
}

void TChildProgress::TakeLine(const std::string& line) {
    if (OnLine) OnLine(line);
    if (kind_ == TKind::Stitcher) {
        int image = 0, images = 0;
        if (ParseConverting(line, image, images)) {
            image_ = image;
            images_ = images;
            writing_ = false;
            SetStage("Converting image " + OfText(image, images));
            SetPercent(StitcherPercent(0));
        } else if (StartsWith(line, "PTStitcher: flattening")) {
            SetStage("Flattening the layers");
            SetPercent(96);
        }
    } else if (kind_ == TKind::Enblend) {
        if (line.find("loading next image") != std::string::npos) {
            ++loaded_;
            SetStage((loaded_ == 1 ? "Loading image " : "Blending image ") + OfText(loaded_, layers_));
            if (layers_ > 0) SetPercent(95.0 * (std::min(loaded_, layers_) - 1) / layers_);
        } else if (line.find("collapsing Laplacian pyramid") != std::string::npos) {
            if (layers_ > 0) SetPercent(95.0 * std::min(loaded_, layers_) / layers_);
        } else if (line.find("writing final output") != std::string::npos) {
            SetStage("Writing the panorama");
            SetPercent(layers_ > 0 ? 99 : -1);
        }
    }
}

// PTmender converts the images one after the other (the first 90 per cent of the run), then
// writes its layers (up to 95); the front's flattening and the end take the rest.
double TChildProgress::StitcherPercent(int value) const {
    if (writing_) return 90.0 + 5.0 * value / 100.0;
    if (images_ <= 0) return -1;
    return 90.0 * ((image_ - 1) + value / 100.0) / images_;
}

void TChildProgress::TakePercent(int value) {
    if (kind_ == TKind::Stitcher) SetPercent(StitcherPercent(value));
}

void TChildProgress::SetPercent(double value) {
    if (value < 0) return;
    const int p = std::clamp(static_cast<int>(std::floor(value)), 0, 100);
    if (p <= percent_) return;
    percent_ = p;
    if (OnPercent) OnPercent(percent_);
}

void TChildProgress::SetStage(const std::string& stage) {
    if (stage == stage_) return;
    stage_ = stage;
    if (OnStage) OnStage(stage_);
}

}  // namespace qb::app
