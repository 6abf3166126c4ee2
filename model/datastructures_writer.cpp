// The writer of project files, stitcher scripts and optimizer scripts.
#include <charconv>
#include <string_view>

#include "core/numbertext.h"
#include "model/datastructures.h"

namespace qb {

namespace {

struct FormatEntry {
    int32_t code;
    const char* name;
};

// In the order in which names are looked up.
constexpr FormatEntry kFormats[] = {
    {0, "PICT"},      {3, "PSD"},      {1, "PSD_mask"},   {2, "PSD_nomask"}, {4, "PAN"},
    {5, "IVR"},       {6, "IVR_java"}, {kFormatVRML, "VRML"}, {kFormatQTVR, "QTVR"},
    {7, "JPEG"},      {8, "TIFF"},     {9, "TIFF_m"},     {10, "TIFF_mask"}, {11, "PNG"},
};

// Text built line by line; every line ends in CR LF.
class ScriptText {
public:
    explicit ScriptText(size_t reserve) { text_.reserve(reserve); }

    ScriptText& operator<<(std::string_view s) {
        text_.append(s);
        return *this;
    }
    ScriptText& operator<<(char c) {
        text_.push_back(c);
        return *this;
    }
    ScriptText& Int(int64_t v) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, v);
        text_.append(buf, res.ptr);
        return *this;
    }
    ScriptText& UInt(uint64_t v) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, v);
        text_.append(buf, res.ptr);
        return *this;
    }
    ScriptText& Real(double v) {
        if (v == 0) {
            text_.push_back('0');
        } else if (v == -1) {
            text_.append("-1");
        } else {
            text_.append(FloatToStr(v));
        }
        return *this;
    }
    ScriptText& Bool(bool v) { return *this << (v ? '1' : '0'); }
    ScriptText& EndLine() { return *this << "\r\n"; }
    ScriptText& Line(std::string_view s) { return *this << s << "\r\n"; }

    std::string Take() { return std::move(text_); }

private:
    std::string text_;
};

// The name part of a full path.
std::string_view NameOfFile(const std::string& path) {
    const size_t p = path.rfind('/');
    return p == std::string::npos ? std::string_view(path) : std::string_view(path).substr(p + 1);
}

bool ImageWritten(const TvrdImage& image, ScriptMode mode) {
    switch (mode) {
        case ScriptMode::Stitch: return image.InStitch;
        case ScriptMode::Preview: return image.InPreview;
        default: return true;
    }
}

bool ImageActive(const TvrdProject& project, int index) {
    return index >= 0 && index < project.ImageCount() &&
           project.Images[static_cast<size_t>(index)]->ControlPointsActive;
}

const TvrdImage* ImageAt(const TvrdProject& project, int index) {
    if (index < 0 || index >= project.ImageCount()) return nullptr;
    return project.Images[static_cast<size_t>(index)].get();
}

// Appends one variable token: a space, the letter and, when n >= 0, the number.
void AddVar(std::string& list, char letter, int64_t n = -1) {
    list.push_back(' ');
    list.push_back(letter);
    if (n >= 0) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, static_cast<uint64_t>(n));
        list.append(buf, res.ptr);
    }
}

}  // namespace

std::string OutputFormatName(int32_t code) {
    for (const auto& f : kFormats)
        if (f.code == code) return f.name;
    return std::string();
}

int32_t OutputFormatFromName(const std::string& name) {
    for (const auto& f : kFormats)
        if (name == f.name) return f.code;
    return 0;
}

bool FormatTakesJpegOptions(int32_t code) {
    return (code >= 4 && code <= 7) || code == kFormatVRML;
}

std::string MakeScriptText(const TvrdProject& project, ScriptMode mode,
                           const TvrdMessageSink& showError) {
    const bool isProject = mode == ScriptMode::Project;
    const bool isOptimize = mode == ScriptMode::Optimize;
    const bool isMorph = mode == ScriptMode::MorphOptimize;
    const bool isStitcher = mode == ScriptMode::Stitch || mode == ScriptMode::Preview;
    const int imageCount = project.ImageCount();
    const int pointCount = project.ControlPointCount();
    const TvrdPanoramaParams& pano = project.Panorama;

    ScriptText out(512 + static_cast<size_t>(imageCount) * 200 +
                   static_cast<size_t>(pointCount) * 80);

    // 1. The first line.
    switch (mode) {
        case ScriptMode::Stitch:
        case ScriptMode::Preview: out.Line("# script file for ptStitcher created by vorda"); break;
        case ScriptMode::Optimize: out.Line("# script file for ptOptimizer created by vorda"); break;
        case ScriptMode::Project: out.Line("# vorda project file"); break;
        case ScriptMode::MorphOptimize:
            out.Line("# script file for ptOptimizer (morph to fit) created by vorda");
            break;
    }
    out.EndLine();

    // 2. The project directives.
    if (isProject) {
        out.Line("#-fileversion 9");
        (out << "#-jpegquality ").Int(pano.JpegQuality).EndLine();
        (out << "#-previewwidth ").Int(project.PreviewWidth).EndLine();
        (out << "#-previewheight ").Int(project.PreviewHeight).EndLine();
        (out << "#-vfov ").Real(pano.Vfov).EndLine();
        (out << "#-fixaspect ").Bool(project.FixAspect).EndLine();
        (out << "#-outputfile " << pano.OutputFile).EndLine();
        (out << "#-ccdcrop ").Real(project.GlobalLens.CropFactor).EndLine();
        (out << "#-hasbeenoptimized ").Bool(project.HasBeenOptimized).EndLine();
        (out << "#-morphmode ").Int(project.MorphMode).EndLine();
        if (!pano.FastTransform) out.Line("#-nofasttransform");
        if (project.SimpleOptimizer) out.Line("#-simpleoptimizer");
        if (!project.EnblendEnabled) out.Line("#-disableenblend");
        out << "#-imgrotate";
        for (const auto& image : project.Images) {
            // One character per image, so that the digits stay in step with the images; a
            // value that is no single digit cannot be read back and is written as 0.
            const int32_t r = image->Rotation;
            out << static_cast<char>(r >= 0 && r <= 9 ? '0' + r : '0');
        }
        out.EndLine();
        if (project.LinkPitch) out.Line("#-linkpitch");
        if (project.LinkRoll) out.Line("#-linkroll");
        out.Line("# Panorama settings:");
    }

    // 3. The panorama line.
    out << 'p';
    if (mode == ScriptMode::Preview) {
        out << " n\"JPEG q90\"";
        (out << " w").Int(project.PreviewWidth);
        (out << " h").Int(project.PreviewHeight);
        (out << " f").Int(pano.Projection);
        (out << " v").Real(pano.Hfov);
        // The feather width scaled to the preview; unscaled when there is no final width.
        const int64_t feather =
            project.Width == 0 ? int64_t{pano.FeatherWidth}
                               : int64_t{pano.FeatherWidth} * project.PreviewWidth / project.Width;
        (out << " u").Int(feather);
    } else {
        (out << " w").Int(project.Width);
        (out << " h").Int(project.Height);
        (out << " f").Int(pano.Projection);
        (out << " v").Real(pano.Hfov);
        (out << " u").Int(pano.FeatherWidth);
        out << " n\"" << OutputFormatName(pano.OutputFormat);
        if (FormatTakesJpegOptions(pano.OutputFormat)) {
            (out << " g").Bool(pano.JpegProgressive);
            (out << " q").Int(pano.JpegQuality);
        }
        out << '"';
    }
    if (project.ColorCorrection) {
        int64_t r = project.ColorRefImage;
        if (isStitcher) {
            for (int i = 0; i < imageCount; ++i) {
                if (ImageWritten(*project.Images[static_cast<size_t>(i)], mode)) continue;
                if (i == project.ColorRefImage)
                    r = -1;
                else if (i < project.ColorRefImage)
                    --r;
            }
        }
        if (r >= 0) {
            const char letter = project.ColorCorrectionKind == 1   ? 'b'
                                : project.ColorCorrectionKind == 2 ? 'd'
                                                                   : 'k';
            (out << ' ' << letter).Int(r);
        }
    }
    out.EndLine();

    // 4. The m line.
    if (!isOptimize && !isMorph) {
        (out << "m g").Real(pano.Gamma);
        (out << " i").Int(pano.Interpolator);
        if (pano.FastTransform) out << " f0";
        out.EndLine();
    }

    // 5. The images.
    if (isProject) {
        out.EndLine();
        out.Line("# input images:");
    }

    // 6., 7. The dummy image that carries the global parameters.
    bool dummy = false;
    if (isProject) {
        dummy = true;
    } else if (isOptimize) {
        dummy = (imageCount > 0 && (project.Images[0]->OwnLens || project.Images[0]->OwnShift ||
                                    project.Images[0]->OwnShear)) ||
                project.LinkRoll || project.LinkPitch;
    }
    const int k = dummy ? 1 : 0;
    if (dummy) {
        double R = 0, P = 0;
        if (isOptimize) {
            if (project.LinkRoll) {
                for (const auto& image : project.Images)
                    if (image->OptimizeRoll) {
                        R = image->Roll;
                        break;
                    }
            }
            if (project.LinkPitch) {
                for (const auto& image : project.Images)
                    if (image->OptimizePitch) {
                        P = image->Pitch;
                        break;
                    }
            }
        }
        const TvrdLensParams& gl = project.GlobalLens;
        out.Line("#-dummyimage");
        out.Line("# The following line contains a 'dummy image' containing some global parameters "
                 "for the project");
        (out << (isOptimize ? 'i' : 'o') << " w1 h1 y0 r").Real(R);
        (out << " p").Real(P);
        (out << " v").Real(gl.Hfov);
        (out << " a").Real(gl.A);
        (out << " b").Real(gl.B);
        (out << " c").Real(gl.C);
        (out << " f").Int(gl.LensType);
        (out << " d").Real(project.GlobalShift.D);
        (out << " e").Real(project.GlobalShift.E);
        (out << " g").Real(project.GlobalShear.G);
        (out << " t").Real(project.GlobalShear.T);
        out.EndLine();
    }

    // 8. The image lines.
    std::vector<bool> morphImage;
    if (isStitcher) {
        morphImage.assign(static_cast<size_t>(imageCount), false);
        for (int i = 0; i < pointCount; ++i) {
            if (!project.IsMorphControlPoint(i)) continue;
            const TvrdControlPoint& cp = *project.ControlPoints[static_cast<size_t>(i)];
            if (cp.Image1 >= 0 && cp.Image1 < imageCount) morphImage[static_cast<size_t>(cp.Image1)] = true;
            if (cp.Image2 >= 0 && cp.Image2 < imageCount) morphImage[static_cast<size_t>(cp.Image2)] = true;
        }
    }
    for (int i = 0; i < imageCount; ++i) {
        const TvrdImage& image = *project.Images[static_cast<size_t>(i)];
        if (!ImageWritten(image, mode)) continue;
        if (isProject) {
            (out << "#-imgfile ").Int(image.Width);
            (out << ' ').Int(image.Height);
            (out << " \"" << image.FileName << '"').EndLine();
            out << 'o';
        } else if (isStitcher) {
            (out << "i n\"" << NameOfFile(image.FileName) << '"').EndLine();
            out << 'o';
        } else {
            const bool cropped = image.IsCropped();
            const int64_t w = cropped ? int64_t{image.CropRight} - image.CropLeft : image.Width;
            const int64_t h = cropped ? int64_t{image.CropBottom} - image.CropTop : image.Height;
            out << "i n\"" << NameOfFile(image.FileName) << '"';
            (out << " w").Int(w);
            (out << " h").Int(h);
        }
        const TvrdLensParams& lens = image.OwnLens ? image.Lens : project.GlobalLens;
        const TvrdShift& shift = image.OwnShift ? image.Shift : project.GlobalShift;
        const TvrdShear& shear = image.OwnShear ? image.Shear : project.GlobalShear;
        (out << " f").Int(lens.LensType);
        (out << " y").Real(image.Yaw);
        if (isOptimize && project.LinkRoll && image.OptimizeRoll)
            out << " r=0";
        else
            (out << " r").Real(image.Roll);
        if (isOptimize && project.LinkPitch && image.OptimizePitch)
            out << " p=0";
        else
            (out << " p").Real(image.Pitch);
        const bool valuesAnyway = (i == 0 && !dummy) || isStitcher;
        if (image.OwnLens || valuesAnyway) {
            (out << " v").Real(lens.Hfov);
            (out << " a").Real(lens.A);
            (out << " b").Real(lens.B);
            (out << " c").Real(lens.C);
        } else {
            out << " v=0 a=0 b=0 c=0";
        }
        if (image.OwnShift || valuesAnyway) {
            (out << " d").Real(shift.D);
            (out << " e").Real(shift.E);
        } else {
            out << " d=0 e=0";
        }
        if (image.OwnShear || valuesAnyway) {
            (out << " g").Real(shear.G);
            (out << " t").Real(shear.T);
        } else {
            out << " g=0 t=0";
        }
        if (!isOptimize && !isMorph && image.IsCropped()) {
            (out << " C").Int(image.CropLeft);
            (out << ',').Int(image.CropRight);
            (out << ',').Int(image.CropTop);
            (out << ',').Int(image.CropBottom);
        }
        if (isStitcher && morphImage[static_cast<size_t>(i)]) out << " o";
        out.EndLine();
    }

    // 9. The image whose yaw the morph-to-fit run optimises.
    if (isMorph) {
        out.EndLine();
        out.Line("# Dummy image for determining the morph to fit parameters:");
        out.Line("i w10 h10 y0 r0 p0 v90 f0");
    }

    // 10., 11. The control points.
    if (isProject) {
        out.EndLine();
        out.Line("# Control points:");
    }
    int pointLines = 0;
    if (isOptimize || isProject || isMorph) {
        for (int i = 0; i < pointCount; ++i) {
            const TvrdControlPoint& cp = *project.ControlPoints[static_cast<size_t>(i)];
            if (isOptimize && (!ImageActive(project, cp.Image1) ||
                               !ImageActive(project, cp.Image2) || !cp.Optimize))
                continue;
            if (isMorph && !project.IsMorphControlPoint(i)) continue;
            int64_t x1 = cp.X1, y1 = cp.Y1, x2 = cp.X2, y2 = cp.Y2;
            if (isOptimize || isMorph) {
                const TvrdImage* im1 = ImageAt(project, cp.Image1);
                const TvrdImage* im2 = ImageAt(project, cp.Image2);
                if (im1 && im1->IsCropped()) {
                    x1 -= im1->CropLeft;
                    y1 -= im1->CropTop;
                }
                if (im2 && im2->IsCropped()) {
                    x2 -= im2->CropLeft;
                    y2 -= im2->CropTop;
                }
            }
            (out << "c n").Int(int64_t{cp.Image1} + k);
            (out << " N").Int(int64_t{cp.Image2} + k);
            (out << " x").Int(x1);
            (out << " y").Int(y1);
            (out << " X").Int(x2);
            (out << " Y").Int(y2);
            (out << " t").Int(cp.Type);
            out.EndLine();
            if (isProject) {
                (out << "# Control Point No ").Int(i);
                (out << ": ").Real(cp.Distance).EndLine();
            }
            ++pointLines;
        }
    }

    // 12. The lists of the project file.
    if (isProject) {
        auto imageList = [&](const char* directive, bool TvrdImage::*flag) {
            out << directive;
            for (int i = 0; i < imageCount; ++i)
                if (!(project.Images[static_cast<size_t>(i)].get()->*flag))
                    (out << ' ').UInt(static_cast<uint64_t>(i));
            out.EndLine();
        };
        imageList("#-cpinactive", &TvrdImage::ControlPointsActive);
        imageList("#-imginactive", &TvrdImage::InStitch);
        imageList("#-previewinactive", &TvrdImage::InPreview);
        out << "#-morphcp";
        for (int i = 0; i < pointCount; ++i)
            if (project.ControlPoints[static_cast<size_t>(i)]->Morph)
                (out << ' ').UInt(static_cast<uint64_t>(i));
        out.EndLine();
        out << "#-nooptcp";
        for (int i = 0; i < pointCount; ++i)
            if (!project.ControlPoints[static_cast<size_t>(i)]->Optimize)
                (out << ' ').UInt(static_cast<uint64_t>(i));
        out.EndLine();
    }

    // 13. The optimizer variable list.
    std::string vars;
    if (isProject || isOptimize || isMorph) {
        if (isProject) {
            if (project.OptimizeGlobalV) AddVar(vars, 'v');
            if (project.OptimizeGlobalA) AddVar(vars, 'a');
            if (project.OptimizeGlobalB) AddVar(vars, 'b');
            if (project.OptimizeGlobalC) AddVar(vars, 'c');
            if (project.OptimizeGlobalD) AddVar(vars, 'd');
            if (project.OptimizeGlobalE) AddVar(vars, 'e');
            if (project.OptimizeGlobalG) AddVar(vars, 'g');
            if (project.OptimizeGlobalT) AddVar(vars, 't');
        } else if (isOptimize) {
            bool sharedLens = false, sharedShift = false, sharedShear = false;
            for (const auto& image : project.Images) {
                sharedLens |= !image->OwnLens;
                sharedShift |= !image->OwnShift;
                sharedShear |= !image->OwnShear;
            }
            if (sharedLens) {
                if (project.OptimizeGlobalV) AddVar(vars, 'v', 0);
                if (project.OptimizeGlobalA) AddVar(vars, 'a', 0);
                if (project.OptimizeGlobalB) AddVar(vars, 'b', 0);
                if (project.OptimizeGlobalC) AddVar(vars, 'c', 0);
            }
            if (sharedShift) {
                if (project.OptimizeGlobalD) AddVar(vars, 'd', 0);
                if (project.OptimizeGlobalE) AddVar(vars, 'e', 0);
            }
            if (sharedShear) {
                if (project.OptimizeGlobalG) AddVar(vars, 'g', 0);
                if (project.OptimizeGlobalT) AddVar(vars, 't', 0);
            }
        } else {
            AddVar(vars, 'y', imageCount);
        }
        if (!isMorph) {
            bool anyRoll = false, anyPitch = false;
            for (int i = 0; i < imageCount; ++i) {
                const TvrdImage& image = *project.Images[static_cast<size_t>(i)];
                const int64_t n = int64_t{i} + k;
                if (image.OwnLens) {
                    if (image.OptimizeV) AddVar(vars, 'v', n);
                    if (image.OptimizeA) AddVar(vars, 'a', n);
                    if (image.OptimizeB) AddVar(vars, 'b', n);
                    if (image.OptimizeC) AddVar(vars, 'c', n);
                }
                if (image.OwnShift) {
                    if (image.OptimizeD) AddVar(vars, 'd', n);
                    if (image.OptimizeE) AddVar(vars, 'e', n);
                }
                if (image.OwnShear) {
                    if (image.OptimizeG) AddVar(vars, 'g', n);
                    if (image.OptimizeT) AddVar(vars, 't', n);
                }
                if (image.OptimizeYaw) AddVar(vars, 'y', n);
                if (image.OptimizeRoll && !(isOptimize && project.LinkRoll)) AddVar(vars, 'r', n);
                if (image.OptimizePitch && !(isOptimize && project.LinkPitch)) AddVar(vars, 'p', n);
                anyRoll |= image.OptimizeRoll;
                anyPitch |= image.OptimizePitch;
            }
            if (project.LinkRoll && anyRoll) AddVar(vars, 'r', 0);
            if (project.LinkPitch && anyPitch) AddVar(vars, 'p', 0);
        }
    }

    // 14. What the optimizer needs.
    if (isOptimize) {
        const char* problem = nullptr;
        if (imageCount == 0)
            problem = "There are no images, so there is nothing to optimize!";
        else if (vars.empty())
            problem = "Please select some parameters to optimize!";
        else if (pointLines == 0)
            problem = "No active control points!";
        if (problem) {
            if (showError) showError(problem);
            return std::string();
        }
    }

    // 15. The variable lines.
    if (isOptimize || isProject || isMorph) {
        out.EndLine();
        out.Line("# optimizer:");
        if (!isOptimize) {
            (out << 'v' << vars).EndLine();
        } else {
            std::string_view rest = vars;
            while (!rest.empty()) {
                const size_t cut = rest.size() > 60 ? rest.find(' ', 60) : std::string_view::npos;
                if (cut == std::string_view::npos) {
                    (out << "v " << rest).EndLine();
                    break;
                }
                (out << "v " << rest.substr(0, cut + 1)).EndLine();
                rest.remove_prefix(cut + 1);
                while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
                while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
            }
        }
    }

    // 16. The morph-to-fit data for the stitcher.
    if (isStitcher && !project.MorphToFitData.empty()) {
        out.Line("# Morph-to-fit data:");
        out << project.MorphToFitData;
    }
    return out.Take();
}

}  // namespace qb
