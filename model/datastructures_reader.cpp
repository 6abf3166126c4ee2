// The reader of project files and of the optimizer's answers.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "core/exceptions.h"
#include "core/numbertext.h"
#include "model/datastructures.h"

namespace qb {

namespace {

using sv = std::string_view;

bool StartsWith(sv s, sv prefix) { return s.substr(0, prefix.size()) == prefix; }

// Spaces and control characters dropped at both ends.
sv Trim(sv s) {
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
    return s;
}

sv TrimLeftSpaces(sv s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    return s;
}

// The next line of text from pos on, trimmed; pos moves past its line end. A line ends at
// CR LF; where the first CR is not directly followed by LF, the line ends at the first LF.
// A rest without CR, or with a CR but no LF anywhere after it, is the last line.
sv NextLine(sv text, size_t& pos) {
    const sv rest = text.substr(pos);
    const size_t cr = rest.find('\r');
    size_t end = sv::npos, skip = 0;
    if (cr != sv::npos) {
        if (cr + 1 < rest.size() && rest[cr + 1] == '\n') {
            end = cr;
            skip = 2;
        } else {
            end = rest.find('\n');
            skip = 1;
        }
    }
    if (end == sv::npos) {
        pos = text.size();
        return Trim(rest);
    }
    pos += end + skip;
    return Trim(rest.substr(0, end));
}

// The next token of a line: leading spaces dropped; a token that starts with a double quote
// runs to the next double quote (both dropped; without a closing quote to the end of the
// line); any other token runs to the next space.
sv NextToken(sv& line) {
    line = TrimLeftSpaces(line);
    if (line.empty()) return sv();
    if (line.front() == '"') {
        const size_t close = line.find('"', 1);
        if (close == sv::npos) {
            const sv token = line.substr(1);
            line = sv();
            return token;
        }
        const sv token = line.substr(1, close - 1);
        line.remove_prefix(close + 1);
        return token;
    }
    const size_t space = line.find(' ');
    const sv token = line.substr(0, space);
    line = space == sv::npos ? sv() : line.substr(space);
    return token;
}

int32_t ReadInt(sv text) { return StrToInt(text); }
double ReadReal(sv text) { return StrToFloat(text); }

// A real read into an integer: floor(value + 0.5) or the integer part.
int32_t ToIntChecked(double v, sv text) {
    if (!(v >= static_cast<double>(std::numeric_limits<int32_t>::min()) &&
          v < static_cast<double>(std::numeric_limits<int32_t>::max()) + 1.0))
        throw EConvertError("'" + QuoteValue(std::string(text)) + "' is not a valid integer value");
    return static_cast<int32_t>(v);
}
int32_t ReadRounded(sv text) { return ToIntChecked(std::floor(ReadReal(text) + 0.5), text); }
int32_t ReadTruncated(sv text) { return ToIntChecked(std::trunc(ReadReal(text)), text); }

// An image number lowered by the dummy offset k; one that then leaves the integer range
// does not parse.
int32_t ReadImageNumber(sv text, int k) {
    const int64_t n = int64_t{ReadInt(text)} - k;
    if (n < std::numeric_limits<int32_t>::min())
        throw EConvertError("'" + QuoteValue(std::string(text)) + "' is not a valid integer value");
    return static_cast<int32_t>(n);
}

bool FileExistsHere(const std::string& name) {
    struct stat st;
    return !name.empty() && stat(name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// Calls f with each integer of a space-separated list.
template <typename F>
void ForEachIndex(sv list, F f) {
    for (sv token = NextToken(list); !token.empty(); token = NextToken(list)) f(ReadInt(token));
}

class Reader {
public:
    Reader(const std::string& text, ReadMode mode, TvrdProject& project, bool checkHeader,
           bool skipImageCheck, bool skipLensValues)
        : text_(text), mode_(mode), project_(project), checkHeader_(checkHeader),
          skipImageCheck_(skipImageCheck), skipLensValues_(skipLensValues),
          scriptOrProject_(mode == ReadMode::OptimizerScript || mode == ReadMode::Project) {}

    void Run();

private:
    int K() const { return fileHasDummy_ ? 1 : 0; }
    void Line(sv line);
    bool Directive(sv line);
    bool ProjectDirective(sv line);
    void ControlPointLine(sv fields);
    void PanoramaLine(sv fields);
    void ImageLine(sv fields);
    void Finish();

    const sv text_;
    const ReadMode mode_;
    TvrdProject& project_;
    const bool checkHeader_, skipImageCheck_, skipLensValues_;
    const bool scriptOrProject_;

    int fileVersion_ = 0;
    bool results_ = false;
    bool dummyPending_ = false;
    bool fileHasDummy_ = false;
    std::string pendingName_;
    int32_t pendingWidth_ = -1, pendingHeight_ = -1;
    int imageCursor_ = 0;
    int imageLines_ = 0;
    int pointCursor_ = 0;
    int32_t colorRef_ = -1;
    bool autoHeight_ = false;
    bool simpleOptimizerSeen_ = false;
    sv variables_, noOptCp_, morphCp_, cpInactive_, imgInactive_, previewInactive_, imgRotate_;
};

void Reader::Run() {
    switch (mode_) {
        case ReadMode::OptimizerResult:
            for (auto& cp : project_.ControlPoints) cp->Distance = -1;
            break;
        case ReadMode::MorphResult: project_.MorphToFitData.clear(); break;
        case ReadMode::Project:
            project_.HasBeenOptimized = true;
            project_.MorphMode = 2;
            break;
        default: break;
    }
    size_t pos = 0;
    if (scriptOrProject_ && checkHeader_) {
        if (NextLine(text_, pos) != "# vorda project file")
            throw Exception("This is not a Vorda project file.");
    }
    if (scriptOrProject_) {
        project_.SimpleOptimizer = false;
        project_.EnblendEnabled = true;
        project_.Panorama.FastTransform = true;
        project_.LinkPitch = project_.LinkRoll = false;
    }
    while (pos < text_.size()) Line(NextLine(text_, pos));
    Finish();
}

void Reader::Line(sv line) {
    // 1. The residual distance of a control point.
    if (StartsWith(line, "# Control Point No ") &&
        ((mode_ == ReadMode::OptimizerResult && results_) ||
         (mode_ == ReadMode::Project && !results_))) {
        const size_t colon = line.find(": ");
        if (colon == sv::npos) return;
        const double distance = ReadReal(line.substr(colon + 2));
        const int count = project_.ControlPointCount();
        if (mode_ == ReadMode::OptimizerResult) {
            // Only the points that the optimizer script held have a distance line.
            while (pointCursor_ < count) {
                const TvrdControlPoint& cp = *project_.ControlPoints[static_cast<size_t>(pointCursor_)];
                auto active = [&](int i) {
                    return i >= 0 && i < project_.ImageCount() &&
                           project_.Images[static_cast<size_t>(i)]->ControlPointsActive;
                };
                if (cp.Optimize && active(cp.Image1) && active(cp.Image2)) break;
                ++pointCursor_;
            }
        }
        if (pointCursor_ >= 0 && pointCursor_ < count)
            project_.ControlPoints[static_cast<size_t>(pointCursor_)]->Distance = distance;
        // Also for a line before its point: a later point never takes an earlier line's value.
        if (pointCursor_ < std::numeric_limits<int>::max()) ++pointCursor_;
        return;
    }
    // 2. The dummy image follows.
    if (StartsWith(line, "#-dummyimage")) {
        dummyPending_ = fileHasDummy_ = true;
        return;
    }
    // 3., 4. Directives.
    if (scriptOrProject_ && Directive(line)) return;
    if (mode_ == ReadMode::Project && ProjectDirective(line)) return;

    // 5. Comments dropped; the first token decides.
    const size_t hash = line.find('#');
    if (hash != sv::npos) line = Trim(line.substr(0, hash));
    if (line.empty()) return;
    sv fields = line;
    const sv first = NextToken(fields);
    if (first == "*") {
        results_ = true;
    } else if (first == "v") {
        variables_ = TrimLeftSpaces(fields);
    } else if (first == "c") {
        if (mode_ == ReadMode::Project && !results_) ControlPointLine(fields);
    } else if (first == "m") {
        for (sv token = NextToken(fields); !token.empty(); token = NextToken(fields)) {
            if (token[0] == 'g')
                project_.Panorama.Gamma = ReadReal(token.substr(1));
            else if (token[0] == 'i')
                project_.Panorama.Interpolator = ReadInt(token.substr(1));
        }
    } else if (first == "p") {
        if (scriptOrProject_ && !results_) PanoramaLine(fields);
    } else if (first == "C") {
        if (mode_ == ReadMode::MorphResult && results_) {
            project_.MorphToFitData.append("C ");
            project_.MorphToFitData.append(TrimLeftSpaces(fields));
            project_.MorphToFitData.append("\r\n");
        }
    } else if (first == "o") {
        if ((mode_ == ReadMode::OptimizerResult && results_) || (scriptOrProject_ && !results_))
            ImageLine(fields);
    }
}

bool Reader::Directive(sv line) {
    auto value = [&](sv directive) { return Trim(line.substr(directive.size())); };
    TvrdProject& p = project_;
    if (StartsWith(line, "#-simpleoptimizer")) {
        simpleOptimizerSeen_ = true;
    } else if (StartsWith(line, "#-fileversion")) {
        fileVersion_ = ReadInt(value("#-fileversion"));
    } else if (StartsWith(line, "#-jpegquality")) {
        p.Panorama.JpegQuality = ReadInt(value("#-jpegquality"));
    } else if (StartsWith(line, "#-previewwidth")) {
        p.PreviewWidth = ReadInt(value("#-previewwidth"));
    } else if (StartsWith(line, "#-previewheight")) {
        p.PreviewHeight = ReadInt(value("#-previewheight"));
    } else if (StartsWith(line, "#-autoheight")) {
        autoHeight_ = ReadInt(value("#-autoheight")) != 0;
    } else if (StartsWith(line, "#-fixaspect")) {
        p.FixAspect = ReadInt(value("#-fixaspect")) != 0;
    } else if (StartsWith(line, "#-disableenblend")) {
        p.EnblendEnabled = false;
    } else if (StartsWith(line, "#-morphmode")) {
        p.MorphMode = ReadInt(value("#-morphmode"));
    } else if (StartsWith(line, "#-vfov")) {
        p.Panorama.Vfov = ReadReal(value("#-vfov"));
    } else if (StartsWith(line, "#-ccdcrop")) {
        p.GlobalLens.CropFactor = ReadReal(value("#-ccdcrop"));
    } else if (StartsWith(line, "#-imgrotate")) {
        imgRotate_ = value("#-imgrotate");
    } else if (StartsWith(line, "#-linkpitch")) {
        p.LinkPitch = true;
    } else if (StartsWith(line, "#-linkroll")) {
        p.LinkRoll = true;
    } else if (StartsWith(line, "#-nofasttransform")) {
        p.Panorama.FastTransform = false;
    } else {
        return false;
    }
    return true;
}

bool Reader::ProjectDirective(sv line) {
    auto value = [&](sv directive) { return Trim(line.substr(directive.size())); };
    if (StartsWith(line, "#-nooptcp")) {
        noOptCp_ = value("#-nooptcp");
    } else if (StartsWith(line, "#-morphcp")) {
        morphCp_ = value("#-morphcp");
    } else if (StartsWith(line, "#-cpinactive")) {
        cpInactive_ = value("#-cpinactive");
    } else if (StartsWith(line, "#-imginactive")) {
        imgInactive_ = value("#-imginactive");
    } else if (StartsWith(line, "#-previewinactive")) {
        previewInactive_ = value("#-previewinactive");
    } else if (StartsWith(line, "#-hasbeenoptimized")) {
        project_.HasBeenOptimized = ReadInt(value("#-hasbeenoptimized")) != 0;
    } else if (StartsWith(line, "#-outputfile")) {
        project_.Panorama.OutputFile = std::string(value("#-outputfile"));
    } else if (StartsWith(line, "#-imgfile")) {
        sv rest = line.substr(sv("#-imgfile").size());
        const sv width = NextToken(rest);
        const sv height = NextToken(rest);
        const sv name = NextToken(rest);
        pendingWidth_ = ReadTruncated(width);
        pendingHeight_ = ReadTruncated(height);
        pendingName_ = std::string(name);
    } else {
        return false;
    }
    return true;
}

void Reader::ControlPointLine(sv fields) {
    TvrdControlPoint& cp = project_.AddControlPoint();
    const int k = K();
    for (sv token = NextToken(fields); !token.empty(); token = NextToken(fields)) {
        const sv value = token.substr(1);
        switch (token[0]) {
            case 'n': cp.Image1 = ReadImageNumber(value, k); break;
            case 'N': cp.Image2 = ReadImageNumber(value, k); break;
            case 'x': cp.X1 = ReadRounded(value); break;
            case 'y': cp.Y1 = ReadRounded(value); break;
            case 'X': cp.X2 = ReadRounded(value); break;
            case 'Y': cp.Y2 = ReadRounded(value); break;
            case 't': cp.Type = ReadInt(value); break;
            default: break;
        }
    }
}

void Reader::PanoramaLine(sv fields) {
    TvrdProject& p = project_;
    for (sv token = NextToken(fields); !token.empty(); token = NextToken(fields)) {
        const sv value = token.substr(1);
        switch (token[0]) {
            case 'w': p.Width = ReadInt(value); break;
            case 'h': p.Height = ReadInt(value); break;
            case 'f': p.Panorama.Projection = ReadInt(value); break;
            case 'v': p.Panorama.Hfov = ReadReal(value); break;
            case 'u': p.Panorama.FeatherWidth = ReadInt(value); break;
            case 'n': {
                // The first quoted word: n"JPEG g0 q90" arrives as the token n"JPEG.
                sv name = value;
                if (!name.empty() && name.front() == '"') name.remove_prefix(1);
                name = name.substr(0, name.find('"'));
                p.Panorama.OutputFormat = OutputFormatFromName(std::string(name));
                break;
            }
            case 'k':
            case 'b':
            case 'd':
                colorRef_ = ReadInt(value);
                p.ColorCorrectionKind = token[0] == 'k' ? 0 : token[0] == 'b' ? 1 : 2;
                break;
            default: break;
        }
    }
}

void Reader::ImageLine(sv fields) {
    const bool isDummy = dummyPending_;
    const bool firstLine = imageLines_ == 0;
    TvrdImage* target = nullptr;
    if (!isDummy) {
        if (mode_ != ReadMode::Project) {
            if (imageCursor_ >= project_.ImageCount()) return;
            target = project_.Images[static_cast<size_t>(imageCursor_)].get();
        } else {
            if (pendingName_.empty())
                throw Exception("No file name for image " + IntToStr(int64_t{imageCursor_} + 1));
            if (project_.ImageCount() == 0 && !skipImageCheck_ && !FileExistsHere(pendingName_))
                throw Exception(Format("Image not found: %s", pendingName_.c_str()));
            target = &project_.AddImage();
            target->FileName = pendingName_;
            target->Width = pendingWidth_;
            target->Height = pendingHeight_;
            target->CropLeft = 0;
            target->CropRight = target->Width;
            target->CropTop = 0;
            target->CropBottom = target->Height;
        }
    }

    TvrdProject& p = project_;
    for (sv token = NextToken(fields); !token.empty(); token = NextToken(fields)) {
        const char letter = token[0];
        const sv value = token.substr(1);
        switch (letter) {
            case 'y':
                if (target) target->Yaw = ReadReal(value);
                break;
            case 'p':
                if (target) target->Pitch = ReadReal(value);
                break;
            case 'r':
                if (target) target->Roll = ReadReal(value);
                break;
            case 'v': case 'a': case 'b': case 'c': case 'd': case 'e': case 'g': case 't': {
                if (skipLensValues_) break;
                auto field = [letter](TvrdLensParams& lens, TvrdShift& shift,
                                      TvrdShear& shear) -> double& {
                    switch (letter) {
                        case 'v': return lens.Hfov;
                        case 'a': return lens.A;
                        case 'b': return lens.B;
                        case 'c': return lens.C;
                        case 'd': return shift.D;
                        case 'e': return shift.E;
                        case 'g': return shear.G;
                        default: return shear.T;
                    }
                };
                if (firstLine) field(p.GlobalLens, p.GlobalShift, p.GlobalShear) = ReadReal(value);
                if (!target) break;
                bool& own = (letter == 'd' || letter == 'e')   ? target->OwnShift
                            : (letter == 'g' || letter == 't') ? target->OwnShear
                                                               : target->OwnLens;
                double& slot = field(target->Lens, target->Shift, target->Shear);
                if (mode_ == ReadMode::OptimizerResult) {
                    slot = ReadReal(value);
                } else if (value == "=0" || fileVersion_ < 2) {
                    own = false;
                } else {
                    own = true;
                    slot = ReadReal(value);
                }
                break;
            }
            case 'f': {
                if (skipLensValues_ || mode_ == ReadMode::OptimizerResult) break;
                const int32_t type = ReadInt(value);
                if (firstLine) p.GlobalLens.LensType = type;
                if (target) target->Lens.LensType = type;
                break;
            }
            case 'C':
            case 'S': {
                if (letter == 'S' && fileVersion_ >= 3) break;
                if (!target) break;
                std::string crop(value);
                for (char& ch : crop)
                    if (ch == ',') ch = ' ';
                sv rest = crop;
                target->CropLeft = ReadInt(NextToken(rest));
                target->CropRight = ReadInt(NextToken(rest));
                target->CropTop = ReadInt(NextToken(rest));
                target->CropBottom = ReadInt(NextToken(rest));
                break;
            }
            default: break;
        }
    }
    if (!isDummy) ++imageCursor_;
    ++imageLines_;
    pendingName_.clear();
    pendingWidth_ = pendingHeight_ = -1;
    dummyPending_ = false;
}

void Reader::Finish() {
    TvrdProject& p = project_;
    const int imageCount = p.ImageCount();
    const int pointCount = p.ControlPointCount();
    auto image = [&](int i) -> TvrdImage* {
        return i >= 0 && i < imageCount ? p.Images[static_cast<size_t>(i)].get() : nullptr;
    };
    auto point = [&](int i) -> TvrdControlPoint* {
        return i >= 0 && i < pointCount ? p.ControlPoints[static_cast<size_t>(i)].get() : nullptr;
    };

    if (mode_ == ReadMode::Project) {
        ForEachIndex(noOptCp_, [&](int i) {
            if (auto cp = point(i)) cp->Optimize = false;
        });
        ForEachIndex(morphCp_, [&](int i) {
            if (auto cp = point(i)) cp->Morph = true;
        });
    }
    if (scriptOrProject_) {
        ForEachIndex(cpInactive_, [&](int i) {
            if (auto im = image(i)) im->ControlPointsActive = false;
        });
        ForEachIndex(imgInactive_, [&](int i) {
            if (auto im = image(i)) im->InStitch = false;
        });
        ForEachIndex(previewInactive_, [&](int i) {
            if (auto im = image(i)) im->InPreview = false;
        });

        for (auto& im : p.Images) {
            im->OptimizeYaw = im->OptimizePitch = im->OptimizeRoll = false;
            im->OptimizeV = im->OptimizeA = im->OptimizeB = im->OptimizeC = false;
            im->OptimizeD = im->OptimizeE = im->OptimizeG = im->OptimizeT = false;
        }
        p.OptimizeGlobalV = p.OptimizeGlobalA = p.OptimizeGlobalB = p.OptimizeGlobalC = false;
        p.OptimizeGlobalD = p.OptimizeGlobalE = p.OptimizeGlobalG = p.OptimizeGlobalT = false;
        const int k = K();
        sv vars = variables_;
        for (sv token = NextToken(vars); !token.empty(); token = NextToken(vars)) {
            const char letter = token[0];
            const int64_t n = token.size() == 1 ? -1 : int64_t{ReadInt(token.substr(1))} - k;
            if (n >= imageCount) continue;
            TvrdImage* im = n >= 0 ? p.Images[static_cast<size_t>(n)].get() : nullptr;
            const bool global = n < 0 || fileVersion_ < 2;
            auto set = [&](bool TvrdProject::*globalFlag, bool TvrdImage::*imageFlag) {
                if (global)
                    p.*globalFlag = true;
                else
                    im->*imageFlag = true;
            };
            switch (letter) {
                case 'y': if (im) im->OptimizeYaw = true; break;
                case 'p': if (im) im->OptimizePitch = true; break;
                case 'r': if (im) im->OptimizeRoll = true; break;
                case 'v': set(&TvrdProject::OptimizeGlobalV, &TvrdImage::OptimizeV); break;
                case 'a': set(&TvrdProject::OptimizeGlobalA, &TvrdImage::OptimizeA); break;
                case 'b': set(&TvrdProject::OptimizeGlobalB, &TvrdImage::OptimizeB); break;
                case 'c': set(&TvrdProject::OptimizeGlobalC, &TvrdImage::OptimizeC); break;
                case 'd': set(&TvrdProject::OptimizeGlobalD, &TvrdImage::OptimizeD); break;
                case 'e': set(&TvrdProject::OptimizeGlobalE, &TvrdImage::OptimizeE); break;
                case 'g': set(&TvrdProject::OptimizeGlobalG, &TvrdImage::OptimizeG); break;
                case 't': set(&TvrdProject::OptimizeGlobalT, &TvrdImage::OptimizeT); break;
                default: break;
            }
        }
    }

    p.ApplyGlobalParams();

    if (scriptOrProject_) {
        p.SimpleOptimizer = simpleOptimizerSeen_;
        p.ApplySimpleOptimizer();

        if (colorRef_ == -1) {
            p.ColorRefImage = 0;
        } else {
            int32_t ref = colorRef_;
            if (ref > imageCount - 1) ref = imageCount - 1;
            if (ref < 0) ref = 0;
            p.ColorRefImage = ref;
            p.ColorCorrection = true;
        }

        if (fileVersion_ < 5) {
            p.FixAspect = true;
            if (autoHeight_ && p.Panorama.Projection == 2) {
                p.Panorama.Vfov = 180;
                p.ComputeHeightFromVfov();
            } else {
                p.ComputeVfov();
            }
            p.ComputePreviewHeight();
        }

        const size_t digits = std::min(static_cast<size_t>(imageCount), imgRotate_.size());
        for (size_t i = 0; i < digits; ++i) {
            const char ch = imgRotate_[i];
            if (ch >= '0' && ch <= '3') p.Images[i]->Rotation = ch - '0';
        }
    }
}

}  // namespace

void ReadProjectText(const std::string& text, ReadMode mode, TvrdProject& project,
                     bool checkHeader, bool skipImageCheck, bool skipLensValues) {
    Reader(text, mode, project, checkHeader, skipImageCheck, skipLensValues).Run();
}

}  // namespace qb
