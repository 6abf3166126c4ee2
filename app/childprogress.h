// What a running child prints, turned into lines as a terminal shows them and into the
// progress of the run: PTmender's "Converting Image i / n" and percentages (passed on by the
// PTStitcher front, which adds its own flattening and writing stages) and Enblend's stages
// (its -v output). Fed with the child's output in pieces of any size.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace qb::app {

// The child's output as lines, the way a terminal shows them: a backspace takes back the
// character before it and a carriage return starts the line over, so PTmender's
// "\b\b\b\b 46%" counters end as the last value they showed. Control characters other than
// tabs are dropped; a line end (LF) completes a line.
class TOutputLines {
public:
    // Takes a piece of output; `onLine` gets every line it completes (without its end).
    void Feed(std::string_view bytes, const std::function<void(const std::string&)>& onLine);
    // The line begun but not ended yet, as it shows now.
    const std::string& Current() const { return line_; }
    // Completes the unfinished line, if any (the child has ended).
    void Flush(const std::function<void(const std::string&)>& onLine);
    // Bytes taken since the last completed line; a line never grows beyond this.
    static constexpr size_t kMaxLine = 4096;

private:
    std::string line_;
};

class TChildProgress {
public:
    enum class TKind { Stitcher, Enblend, Other };
    // `layers`: the number of images Enblend blends (0 when not known).
    explicit TChildProgress(TKind kind, int layers = 0) : kind_(kind), layers_(layers) {}

    // Takes a piece of the child's output.
    void Feed(std::string_view bytes);
    // The child has ended: its last line counts, and a run that ended well is complete.
    void Finish(bool succeeded);

    // 0 to 100, never falling; -1 while the child has shown nothing to measure by.
    int Percent() const { return percent_; }
    // What the child is doing now in words ("Converting image 2 of 3"); empty until known.
    const std::string& Stage() const { return stage_; }

    // Called for every completed line of output, for each new stage, and when the
    // percentage grows.
    std::function<void(const std::string& line)> OnLine;
    std::function<void(const std::string& stage)> OnStage;
    std::function<void(int percent)> OnPercent;

private:
    void TakeLine(const std::string& line);
    void TakePercent(int value);
    void SetPercent(double value);
    void SetStage(const std::string& stage);
    // Where the stitcher's progress stands for a percentage of the current step.
    double StitcherPercent(int value) const;

    TKind kind_;
    int layers_;
    TOutputLines lines_;
    int percent_ = -1;
    std::string stage_;
    // Stitcher: the image being converted (1-based) of `images_`; `writing_` once
    // PTmender writes its layers.
    int image_ = 0, images_ = 0;
    bool writing_ = false;
    // Enblend: images loaded so far.
    int loaded_ = 0;
};

}  // namespace qb::app
