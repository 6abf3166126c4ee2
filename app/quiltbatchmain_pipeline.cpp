// The stitch pipeline of one project: the morph-to-fit optimizer pass, the checks of the
// project and of the installed tools, the Enblend arguments, the stitcher script with its
// review, the removal of old output and the start of the stitcher.
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "app/quiltbatchmain.h"
#include "core/exceptions.h"
#include "core/numbertext.h"
#include "model/datastructures.h"
#include "model/stitcheroutput.h"
#include "panotools/panocorrect.h"
#include "platform/files.h"
#include "platform/syserror.h"

namespace qb::app {

namespace {

using qb::platform::DirectoryExists;
using qb::platform::ExpandFileName;
using qb::platform::ExtractFileDir;
using qb::platform::ExtractFileExt;
using qb::platform::ExtractFileName;
using qb::platform::ExtractFilePath;
using qb::platform::FileExists;

constexpr const char* kReviewMessage =
    "This is the script that will be sent to PTStitcher. Only edit it if you know what you're doing...";

std::string LowerCase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Blanks and control characters removed from both ends.
std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

// The integer in front of the first '.' of `rest` (left at -1 when that is no integer), and
// `rest` continues after that '.'. False when `rest` holds no '.'.
bool TakeVersionNumber(std::string& rest, int& number) {
    const size_t dot = rest.find('.');
    if (dot == std::string::npos) return false;
    int32_t value = 0;
    if (qb::TryStrToInt(rest.substr(0, dot), value)) number = value;
    rest.erase(0, dot + 1);
    return true;
}

// Restores a project's panorama size when it leaves scope.
class TSizeKeeper {
public:
    explicit TSizeKeeper(qb::TvrdProject& p) : p_(p), w_(p.Width), h_(p.Height) {}
    ~TSizeKeeper() {
        p_.Width = w_;
        p_.Height = h_;
    }
    TSizeKeeper(const TSizeKeeper&) = delete;
    TSizeKeeper& operator=(const TSizeKeeper&) = delete;

private:
    qb::TvrdProject& p_;
    int32_t w_, h_;
};

}  // namespace

// In double quotes; quotes inside are escaped and backslashes in front of a quote (or of
// the closing quote) doubled, so that the Windows-style splitting of the child's command
// line gives the argument back unchanged.
std::string TMainForm::QuoteArgument(const std::string& arg) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

// ---------------------------------------------------------------------------------------
// Helpers

std::string TMainForm::UniqueFileName(const std::string& prefix, const std::string& extension) {
    for (int n = 0; n < 99999; ++n) {
        std::string name = prefix + qb::IntToStr(n) + extension;
        if (!FileExists(name) && !DirectoryExists(name)) return name;
    }
    return prefix + "99999" + extension;
}

std::string TMainForm::NumberedFileName(const std::string& fileName, int n) {
    const std::string ext = ExtractFileExt(fileName);
    return fileName.substr(0, fileName.size() - ext.size()) + qb::Format("%04d", n) + ext;
}

std::string TMainForm::GetEnblendExe() {
    const std::string dir = ReadSetting("EnblendDir");
    if (dir.empty()) return std::string();
    return qb::platform::IncludeTrailingPathDelimiter(dir) + "enblend";
}

std::string TMainForm::GetTempDir() {
    return qb::platform::IncludeTrailingPathDelimiter(qb::platform::GetTempDirectory());
}

bool TMainForm::SameDir(const std::string& a, const std::string& b) {
    // File names compare with regard to case on this system.
    return qb::platform::ExcludeTrailingPathDelimiter(a) == qb::platform::ExcludeTrailingPathDelimiter(b);
}

// ---------------------------------------------------------------------------------------
// Morph to fit

void TMainForm::MorphToFit(qb::TvrdProject& project, bool preview) {
    if (!project.UsesMorphToFit()) return;
    std::string text;
    {
        TSizeKeeper keep(project);
        if (preview) {
            project.Width = project.PreviewWidth;
            project.Height = project.PreviewHeight;
        }
        text = qb::MakeScriptText(project, qb::ScriptMode::MorphOptimize,
                                  [this](const std::string& message) { ShowError(message); });
    }
    const std::string output = RunOptimizerScript(text);
    qb::ReadProjectText(output, qb::ReadMode::MorphResult, project, true, false, false);
}

std::string TMainForm::RunOptimizerScript(const std::string& text) {
    const std::string file = UniqueFileName(GetTempDir() + "vrdtemp", ".txt");
    SaveTextFile(text, file);
    setEnabled(false);
    try {
        PanoCorrect1().RunOptimizer(file);
    } catch (...) {
        setEnabled(true);
        throw;
    }
    setEnabled(true);
    const std::string output = LoadTextFile(file);
    qb::platform::DeleteFile(file);
    if (output.find("generated by Panorama Tools") == std::string::npos) throw qb::Exception("Optimizer failed");
    return output;
}

// ---------------------------------------------------------------------------------------
// Start of the stitcher

void TMainForm::StartStitch(qb::TvrdProject& project, bool showScript, bool preview) {
    const std::string download = qb::PanoToolsDownloadPage;

    // 1, 2. The included images: all present, all in one directory.
    std::string imagesDir;
    int included = 0;
    for (int i = 0; i < project.ImageCount(); ++i) {
        const qb::TvrdImage& image = project.Image(i);
        if (!(preview ? image.InPreview : image.InStitch)) continue;
        const std::string name = ExpandFileName(image.FileName);
        if (!FileExists(name)) throw qb::Exception(qb::Format("Image does not exist: %s", name.c_str()));
        const std::string dir = ExtractFilePath(name);
        if (included == 0)
            imagesDir = dir;
        else if (dir != imagesDir)
            throw qb::Exception("The images in the project should be located in the same directory.");
        ++included;
    }
    if (included == 0)
        throw qb::Exception(
            "There are no images to stitch. Please check that there is at least one image selected in the "
            "'include images' list.");

    // 3. The stitcher.
    const std::string stitcher = ReadSetting("PTStitcherApp");
    if (stitcher.empty())
        throw qb::Exception(
            "Please tell me first where the PTStitcher application is! Select Options in the Tools menu of Vorda.");
    if (!FileExists(stitcher))
        throw qb::Exception(qb::Format(
            "Could not run PTStitcher:\nfile '%s' not found.\n\nMost likely this means that Vorda is not configured "
            "properly.\n\nTo correct the problem, please quit Vorda and reinstall Panorama Tools from %s. This will "
            "reconfigure Vorda as well.",
            stitcher.c_str(), download.c_str()));

    // 4. Its name.
    const std::string exeName = LowerCase(ExtractFileName(stitcher));
    if (exeName == "ptstitcher") {
        // the expected program
    } else if (exeName == "quiltbatch") {
        Dialogs().MessageDlg(
            "You have configured the PTStitcher application to be Quiltbatch.exe, instead of PTStitcher.exe. While "
            "the mistake is understandable, we cannot stitch the project due to the misconfiguration.\n\nTo correct "
            "the problem, please quit Vorda and reinstall Panorama Tools from " +
                download + ". This will reconfigure Vorda as well.",
            TMsgDlgType::mtError, mbOK);
        qb::Abort();
    } else {
        if (Dialogs().MessageDlg(
                "You have configured a PTStitcher application different from 'PTStitcher.exe'. Most likely this "
                "means that Vorda is not configured properly.\n\nTo correct the problem, please quit Vorda and "
                "reinstall Panorama Tools from " +
                    download +
                    ". This will reconfigure Vorda as well.\n\nDo you want to continue anyway (most likely "
                    "resulting in unexpected behaviour)?",
                TMsgDlgType::mtWarning, mbOKCancel) != mrOk)
            qb::Abort();
    }

    // 5. Version and features.
    dfsVersionInfoResource1.FileName = stitcher;
    const std::string version = dfsVersionInfoResource1.ProductVersion();
    bool stitcherCrops = true;
    const bool cropOutside = PanoCorrect1().GetIntFeature("CanCropOutside", 0) != 0;
    bool colourSupport = false;
    int major = -1, minor = -1;
    {
        std::string rest = version;
        if (TakeVersionNumber(rest, major)) TakeVersionNumber(rest, minor);
    }
    if (major >= 0) {
        if (major < 2 || (major == 2 && minor < 5)) {
            stitcherCrops = false;
            colourSupport = false;
            if (Dialogs().MessageDlg(
                    qb::Format("Vorda needs PTStitcher from Panorama Tools 2.5 or a newer version. Your PTStitcher "
                               "has version %s and this will probably not work. Please check the settings in the "
                               "Tools/Options menu and make sure that you point to PTStitcher 2.5 or a newer "
                               "version.\nDo you want to continue?",
                               version.c_str()),
                    TMsgDlgType::mtWarning, mbOKCancel) == mrCancel)
                qb::Abort();
        } else {
            if (version == "2.5.a0" || version == "2.5.a1") {
                stitcherCrops = false;
                if (!OldVersionWarned) {
                    if (Dialogs().MessageDlg(
                            qb::Format("You are running an older version of Panorama Tools; your PTStitcher "
                                       "application has version %s. It is recommended that you upgrade to a recent "
                                       "version of Panorama Tools. Go to %s for more information.\n\nIf you have "
                                       "already downloaded a newer version of Panorama Tools, check the settings in "
                                       "the Tools/Options menu of Vorda and make sure that you point to the most "
                                       "recent version of PTStitcher.\nDo you want to continue?",
                                       version.c_str(), download.c_str()),
                            TMsgDlgType::mtWarning, mbOKCancel) == mrCancel)
                        qb::Abort();
                    OldVersionWarned = true;
                }
            }
            if (major > 2 || (major == 2 && minor >= 6)) {
                stitcherCrops = true;
                colourSupport = true;
            }
        }
    }

    // 6. Colour correction.
    if (project.ColorCorrection && !colourSupport) {
        if (Dialogs().MessageDlg("Your project uses color correction, but your version of PTStitcher does not "
                                 "support it. The color correction settings will be ignored. Do you want to "
                                 "continue?",
                                 TMsgDlgType::mtWarning, mbOKCancel) == mrCancel)
            qb::Abort();
    }

    if (!preview) {
        // 7. The final panorama.
        const std::string output = Trim(project.Panorama.OutputFile);
        if (output.empty())
            throw qb::Exception(
                "You have not selected an output filename for this project. Please open the project in Vorda, and "
                "fill in the 'Output filename' on the 'Create Panorama' tab.");
        const std::string outputDir = ExtractFileDir(output);
        if (!DirectoryExists(outputDir))
            throw qb::Exception(qb::Format("The output directory %s does not exist.", outputDir.c_str()));
        // The stitcher runs in the images directory: a relative name is made absolute here, so
        // that it names the file that was checked above and that is looked for afterwards.
        ResultFile = ExpandFileName(output);
        UseEnblend = false;
        if (project.EnblendEnabled && project.Panorama.OutputFormat == 8) {
            const std::string enblend = GetEnblendExe();
            if (enblend.empty()) {
                // no Enblend configured: the stitcher's own output
            } else if (!FileExists(enblend)) {
                Dialogs().MessageDlg(
                    "This project is configured to use Enblend, but enblend.exe could not be found. Please check "
                    "the settings in Tools/Options/Plugins.",
                    TMsgDlgType::mtWarning, mbOK);
            } else {
                UseEnblend = true;
                project.Panorama.OutputFormat = qb::kFormatTIFF_m;
                EnblendOutput = ResultFile;
                const std::string target = SameDir(ExtractFilePath(ResultFile), imagesDir)
                                               ? qb::platform::ExtractRelativePath(imagesDir, ResultFile)
                                               : ResultFile;
                std::string args = ReadSetting("EnblendOptions");
                if (!args.empty()) args += " ";
                if (project.Panorama.Hfov > 359.9) args += "-w ";
                args += "-o " + QuoteArgument(target);
                int k = 0;
                for (int i = 0; i < project.ImageCount(); ++i) {
                    const qb::TvrdImage& image = project.Image(i);
                    if (!image.InStitch) continue;
                    const std::string layer =
                        qb::StitcherResultFile(qb::platform::ChangeFileExt(ResultFile, ""), qb::kFormatTIFF_m, k++);
                    TempFiles.push_back(layer);
                    args += " " + QuoteArgument(qb::platform::ExtractRelativePath(imagesDir, layer));
                }
                EnblendArgs = args;
                EnblendWorkDir = imagesDir;
            }
        }
    } else {
        // 8. The preview and its viewer.
        UseEnblend = false;
        std::string viewer;
        switch (project.Panorama.Projection) {
            case 0:
                viewer = ReadSetting("RectViewerApp");
                if (viewer.empty())
                    throw qb::Exception(
                        "Please tell me first where your viewer for rectilinear (normal) images is! Select Options "
                        "in the Tools menu of Vorda.");
                break;
            case 1:
                viewer = ReadSetting("CylViewerApp");
                if (viewer.empty())
                    throw qb::Exception(
                        "Please tell me first where your viewer for cylindrical images is! Select Options in the "
                        "Tools menu of Vorda.");
                break;
            case 2:
                viewer = ReadSetting("PTViewerApp");
                if (viewer.empty())
                    throw qb::Exception(
                        "Please tell me first where your panorama viewer is! Select Options in the Tools menu of "
                        "Vorda.");
                break;
            default:
                break;
        }
        ViewerApp = viewer;
        ResultFile = UniqueFileName(imagesDir + "_vrdtmp_", ".jpg");
    }

    // 9.
    const bool multiFile = !preview && qb::IsMultiFileFormat(project.Panorama.OutputFormat);
    // The stitcher is told the output name without its extension and adds its own: pano.jpeg
    // or DEMO.TIF come back as pano.jpg and DEMO.tif. Those are the names to look for.
    const std::string stitcherBase = qb::platform::ChangeFileExt(ResultFile, "");
    auto stitcherResult = [&](int k) {
        const std::string name = qb::StitcherResultFile(stitcherBase, project.Panorama.OutputFormat, k);
        return name.empty() || preview ? ResultFile : name;
    };
    if (!multiFile) ResultFile = stitcherResult(0);

    // 10. The script, made from a copy whose images may name cropped copies.
    std::vector<std::string> cropped;
    std::string script;
    {
        qb::TvrdProject copy;
        copy.Assign(project, true);
        CropImages(copy, imagesDir, cropped, stitcherCrops, cropOutside);
        script = qb::MakeScriptText(copy, preview ? qb::ScriptMode::Preview : qb::ScriptMode::Stitch,
                                    [this](const std::string& message) { ShowError(message); });
    }

    // 11. Review.
    if (showScript && Dialogs().ExecuteScript(script, kReviewMessage) == mrCancel) {
        for (const std::string& name : cropped) qb::platform::DeleteFile(name);
        qb::Abort();
    }

    // 12. The script file.
    const std::string scriptFile = UniqueFileName(imagesDir + "_vrdtmp_", ".txt");
    SaveTextFile(script, scriptFile);
    TempFiles.push_back(scriptFile);
    TempFiles.insert(TempFiles.end(), cropped.begin(), cropped.end());

    // 13. Old output. A file that cannot be removed would later pass for the new result.
    auto removeOld = [](const std::string& name) {
        if (!qb::platform::DeleteFile(name)) qb::platform::RaiseLastOSError();
    };
    if (multiFile) {
        for (int k = 0;; ++k) {
            const std::string name = stitcherResult(k);
            if (!FileExists(name)) break;
            removeOld(name);
        }
    } else if (FileExists(ResultFile)) {
        removeOld(ResultFile);
    }
    // Enblend's result of an earlier run likewise, so that only a new one counts.
    if (UseEnblend && FileExists(EnblendOutput)) removeOld(EnblendOutput);

    // 14, 15. The stitcher, in the images directory.
    const std::string commandLine = QuoteArgument(stitcher) + " -o " +
                                    QuoteArgument(stitcherBase) + " " +
                                    QuoteArgument(scriptFile);
    WorkDir = imagesDir;
    RunProgram(stitcher, commandLine, imagesDir, ChildProcess, ChildThread);

    // 16. The first numbered file proves success.
    if (multiFile) ResultFile = stitcherResult(0);
}

}  // namespace qb::app
