#include "tools/ptstitcher/ptstitcher.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <QImage>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/numbertext.h"
#include "model/datastructures.h"
#include "platform/files.h"
#include "platform/syserror.h"

extern char** environ;

namespace qb::ptstitcher {

using platform::DeleteFile;
using platform::FileExists;

TArguments ParseArguments(const std::vector<std::string>& args) {
    TArguments a;
    bool haveOutput = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-o") {
            if (i + 1 >= args.size()) throw EUsage("Option -o needs the output name");
            if (haveOutput) throw EUsage("Option -o given twice");
            a.output = args[++i];
            haveOutput = true;
            if (a.output.empty()) throw EUsage("The output name is empty");
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw EUsage("Unknown option: " + arg);
        } else if (a.script.empty()) {
            if (arg.empty()) throw EUsage("The script name is empty");
            a.script = arg;
        } else {
            throw EUsage("More than one script given: " + arg);
        }
    }
    if (!haveOutput) throw EUsage("No output name given (-o)");
    if (a.script.empty()) throw EUsage("No script file given");
    return a;
}

namespace {

// The byte range of the script's panorama line ("p" and a blank, or a bare "p"), without
// its line end; npos when the script has none.
struct LineRange {
    size_t begin = std::string::npos, end = std::string::npos;
};

LineRange FindPanoramaLine(const std::string& script) {
    size_t pos = 0;
    while (pos < script.size()) {
        size_t eol = script.find('\n', pos);
        if (eol == std::string::npos) eol = script.size();
        size_t end = eol;
        if (end > pos && script[end - 1] == '\r') --end;
        if (script[pos] == 'p' && (pos + 1 == end || script[pos + 1] == ' ' || script[pos + 1] == '\t'))
            return {pos, end};
        pos = eol + 1;
    }
    return {};
}

// The n"..." field of a panorama line: offsets of the opening n and of the byte after the
// closing quote (the line's end when the quote is not closed).
struct Field {
    size_t begin = std::string::npos, end = std::string::npos;
    std::string text;  // inside the quotes
};

Field FindFormatField(const std::string& script, const LineRange& line) {
    Field f;
    for (size_t i = line.begin + 1; i + 1 < line.end; ++i) {
        const char before = script[i - 1];
        if (script[i] == 'n' && script[i + 1] == '"' && (before == ' ' || before == '\t')) {
            const size_t close = script.find('"', i + 2);
            const size_t stop = (close == std::string::npos || close >= line.end) ? line.end : close;
            f.begin = i;
            f.end = stop < line.end ? stop + 1 : line.end;
            f.text = script.substr(i + 2, stop - (i + 2));
            return f;
        }
        if (script[i] == '"') {
            // Skip any other quoted text of the line.
            const size_t close = script.find('"', i + 1);
            if (close == std::string::npos || close >= line.end) break;
            i = close;
        }
    }
    return f;
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

}  // namespace

TScriptFormat ReadScriptFormat(const std::string& script) {
    TScriptFormat f;
    const LineRange line = FindPanoramaLine(script);
    if (line.begin == std::string::npos) throw Exception("The script has no panorama line (p)");
    const Field field = FindFormatField(script, line);
    // w and h outside the format field.
    std::string rest = script.substr(line.begin + 1, line.end - line.begin - 1);
    if (field.begin != std::string::npos)
        rest = script.substr(line.begin + 1, field.begin - line.begin - 1) + " " +
               script.substr(field.end, line.end - field.end);
    for (const std::string& w : Words(rest)) {
        int32_t v = 0;
        if (w.size() > 1 && w[0] == 'w' && TryStrToInt(w.substr(1), v)) f.width = v;
        if (w.size() > 1 && w[0] == 'h' && TryStrToInt(w.substr(1), v)) f.height = v;
    }
    if (field.begin == std::string::npos) return f;
    const std::vector<std::string> words = Words(field.text);
    if (words.empty()) return f;
    f.name = words[0];
    f.code = OutputFormatFromName(f.name);
    for (size_t i = 1; i < words.size(); ++i) {
        int32_t v = 0;
        const std::string& w = words[i];
        if (w.size() > 1 && w[0] == 'q' && TryStrToInt(w.substr(1), v)) f.jpegQuality = v;
        if (w.size() > 1 && w[0] == 'g' && TryStrToInt(w.substr(1), v)) f.jpegProgressive = v != 0;
    }
    if (f.jpegQuality < 1) f.jpegQuality = 1;
    if (f.jpegQuality > 100) f.jpegQuality = 100;
    return f;
}

std::string ScriptForPTmender(const std::string& script) {
    static const std::string layers = "n\"TIFF_m r:UNCROP\"";
    const LineRange line = FindPanoramaLine(script);
    if (line.begin == std::string::npos) return script;
    const Field field = FindFormatField(script, line);
    if (field.begin == std::string::npos)
        return script.substr(0, line.end) + " " + layers + script.substr(line.end);
    return script.substr(0, field.begin) + layers + script.substr(field.end);
}

TOutputKind OutputKindOf(const TScriptFormat& format) {
    // The name decides: an unknown name reads as code 0, which is not ours to write.
    if (format.name == "TIFF_m" || format.name == "TIFF_mask") return TOutputKind::Layers;
    if (format.name == "TIFF") return TOutputKind::Tiff;
    if (format.name == "JPEG") return TOutputKind::Jpeg;
    if (format.name == "PNG") return TOutputKind::Png;
    return TOutputKind::Unsupported;
}

namespace {

// libtiff's own messages are not for the terminal: failures surface as exceptions.
void SilentHandler(const char*, const char*, va_list) {}

struct TiffFile {
    TIFF* tif = nullptr;
    explicit TiffFile(const std::string& name) {
        TIFFSetWarningHandler(SilentHandler);
        TIFFSetErrorHandler(SilentHandler);
        tif = TIFFOpen(name.c_str(), "r");
    }
    ~TiffFile() {
        if (tif) TIFFClose(tif);
    }
};

int32_t Round(double v) { return static_cast<int32_t>(v < 0 ? v - 0.5 : v + 0.5); }

}  // namespace

TLayerPlace ReadLayerPlace(const std::string& tiffFile) {
    TLayerPlace place;
    TiffFile f(tiffFile);
    if (!f.tif) throw Exception("Cannot read the layer " + tiffFile);
    float xpos = 0, ypos = 0, xres = 0, yres = 0;
    const bool hasX = TIFFGetField(f.tif, TIFFTAG_XPOSITION, &xpos) == 1;
    const bool hasY = TIFFGetField(f.tif, TIFFTAG_YPOSITION, &ypos) == 1;
    if (TIFFGetField(f.tif, TIFFTAG_XRESOLUTION, &xres) != 1 || xres <= 0) xres = 1;
    if (TIFFGetField(f.tif, TIFFTAG_YRESOLUTION, &yres) != 1 || yres <= 0) yres = 1;
    // Positions are in resolution units; the resolution gives pixels per unit.
    if (hasX) place.x = Round(double(xpos) * xres);
    if (hasY) place.y = Round(double(ypos) * yres);
    uint32_t fullWidth = 0, fullHeight = 0;
    if (TIFFGetField(f.tif, TIFFTAG_PIXAR_IMAGEFULLWIDTH, &fullWidth) == 1 &&
        TIFFGetField(f.tif, TIFFTAG_PIXAR_IMAGEFULLLENGTH, &fullHeight) == 1 &&
        fullWidth <= 0x7FFFFFFF && fullHeight <= 0x7FFFFFFF) {
        place.canvasWidth = static_cast<int32_t>(fullWidth);
        place.canvasHeight = static_cast<int32_t>(fullHeight);
    }
    return place;
}

void FlattenLayers(const std::vector<std::string>& layers, TzrMemBitmap& canvas,
                   const volatile int* cancelled) {
    for (const std::string& name : layers) {
        if (cancelled && *cancelled) throw EAbort();
        TzrMemBitmap layer;
        layer.LoadFromFile(name);
        const TLayerPlace place = ReadLayerPlace(name);
        canvas.copyAlphaBitmap(layer, TPoint(place.x, place.y),
                               TRect(0, 0, layer.GetWidth(), layer.GetHeight()), 255);
    }
}

namespace {

volatile sig_atomic_t stopSignal = 0;
volatile pid_t runningChild = 0;
volatile int cancelledFlag = 0;

void OnStopSignal(int sig) {
    stopSignal = sig;
    cancelledFlag = 1;
    const pid_t child = runningChild;
    if (child > 0) kill(child, SIGTERM);
}

// The files this run made in the working directory; removed however the run ends.
class TempFiles {
public:
    ~TempFiles() { RemoveAll(); }
    void Add(const std::string& name) { names_.push_back(name); }
    void Forget(const std::string& name) {
        for (auto& n : names_)
            if (n == name) n.clear();
    }
    void RemoveAll() {
        for (const auto& n : names_)
            if (!n.empty()) DeleteFile(n);
        names_.clear();
    }

private:
    std::vector<std::string> names_;
};

std::string ReadWholeFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) throw Exception("Cannot read the script " + name + ": " + platform::SysErrorMessage(errno));
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteWholeFile(const std::string& name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw Exception("Cannot write " + name + ": " + platform::SysErrorMessage(errno));
}

std::string FindPTmender() {
    if (const char* p = std::getenv("PTMENDER"); p && *p) {
        if (!FileExists(p)) throw Exception(std::string("PTmender not found at ") + p + " (named by PTMENDER)");
        return p;
    }
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = platform::IncludeTrailingPathDelimiter(dir) + "PTmender";
        if (FileExists(candidate) && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    throw Exception("PTmender not found: install the package libpano13-bin, or name the program in the environment variable PTMENDER");
}

// Runs PTmender on the script in the current directory and waits for it; its progress goes
// to our stdout. A stop signal passed on to it makes this raise the silent abort.
void RunPTmender(const std::string& ptmender, const std::string& prefix, const std::string& script) {
    std::vector<std::string> args = {ptmender, "-o", prefix, script};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, ptmender.c_str(), nullptr, nullptr, argv.data(), environ);
    if (rc != 0) throw Exception("Cannot run " + ptmender + ": " + platform::SysErrorMessage(rc));
    runningChild = pid;
    if (stopSignal) kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            runningChild = 0;
            throw Exception("Lost PTmender: " + platform::SysErrorMessage(errno));
        }
    }
    runningChild = 0;
    std::cout.flush();
    if (stopSignal) throw EAbort();
    if (WIFSIGNALED(status))
        throw Exception("PTmender ended by signal " + std::to_string(WTERMSIG(status)));
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        throw Exception("PTmender failed with exit code " + std::to_string(WEXITSTATUS(status)));
}

// A stage of our own after PTmender's, on stdout beside its progress ("PTStitcher: <stage>"),
// for whoever follows the run.
void ReportStage(const std::string& stage) {
    std::cout << "PTStitcher: " << stage << std::endl;
}

std::string Numbered(const std::string& base, size_t i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04zu", i);
    return base + buf + ".tif";
}

// Moves a finished file to its place; across file systems it is copied.
void MoveFile(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return;
    if (errno != EXDEV) throw Exception("Cannot write " + to + ": " + platform::SysErrorMessage(errno));
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.close();
    if (!in || !out) {
        const int err = errno;
        DeleteFile(to);
        throw Exception("Cannot write " + to + ": " + platform::SysErrorMessage(err));
    }
    DeleteFile(from);
}

// Bitmaps above this many bytes live in a mapped temporary file instead of memory.
int32_t OnDiskBytes() {
    int64_t v = 0;
    if (const char* e = std::getenv("PTSTITCHER_ONDISK_BYTES"); e && TryStrToInt64(e, v) && v > 0)
        return static_cast<int32_t>(std::min<int64_t>(v, 0x7FFFFFFF));
    return 256 << 20;
}

int Run(const TArguments& args, TempFiles& temps) {
    const std::string scriptText = ReadWholeFile(args.script);
    const TScriptFormat format = ReadScriptFormat(scriptText);
    const TOutputKind kind = OutputKindOf(format);
    if (kind == TOutputKind::Unsupported)
        throw Exception("Unsupported output format \"" + format.name +
                        "\": PTStitcher writes TIFF_m, TIFF_mask, TIFF, JPEG and PNG");
    const std::string ptmender = FindPTmender();

    const std::string tmp = std::string(kTempPrefix) + std::to_string(getpid()) + "_";
    const std::string scriptCopy = tmp + "script.txt";
    temps.Add(scriptCopy);
    WriteWholeFile(scriptCopy, ScriptForPTmender(scriptText));

    // PTmender numbers its layers prefix0000.tif, prefix0001.tif, ...
    const std::string layerPrefix = tmp + "layer";
    for (size_t i = 0; i < 10000; ++i) temps.Add(Numbered(layerPrefix, i));
    // PTmender keeps files of its own with the same prefix while it works; those that a
    // failed or stopped run leaves behind are removed with ours. Files that were there
    // before are left alone.
    const std::vector<std::string> before = platform::FindFiles(".", std::string(kTempPrefix) + "*");
    struct PTmenderLeftovers {
        const std::vector<std::string>& before;
        TempFiles& temps;
        ~PTmenderLeftovers() {
            for (const auto& n : platform::FindFiles(".", std::string(kTempPrefix) + "*"))
                if (std::find(before.begin(), before.end(), n) == before.end()) temps.Add(n);
        }
    } leftovers{before, temps};
    RunPTmender(ptmender, layerPrefix, scriptCopy);
    std::vector<std::string> layers;
    while (FileExists(Numbered(layerPrefix, layers.size()))) layers.push_back(Numbered(layerPrefix, layers.size()));
    if (layers.empty()) throw Exception("PTmender wrote no images");

    const std::string output = platform::ExpandFileName(args.output);
    if (kind == TOutputKind::Layers) {
        for (size_t i = 0; i < layers.size(); ++i) {
            if (stopSignal) throw EAbort();
            MoveFile(layers[i], Numbered(output, i));
        }
        return FileExists(Numbered(output, 0)) ? 0 : 1;
    }

    TzrMemBitmap::DefaultAutoOnDiskSize = OnDiskBytes();
    int32_t width = format.width, height = format.height;
    if (width <= 0 || height <= 0) {
        const TLayerPlace first = ReadLayerPlace(layers[0]);
        width = first.canvasWidth;
        height = first.canvasHeight;
        if (width <= 0 || height <= 0) TzrMemBitmap::GetSizeFromFile(layers[0], &width, &height);
    }
    TzrMemBitmap canvas;
    // A JPEG has no alpha: its canvas is black where no layer covers it.
    canvas.SetWidthHeightPixelFormat(width, height, kind == TOutputKind::Jpeg ? pf24bit : pf32bit, false);
    canvas.FillColor(0);
    ReportStage("flattening " + std::to_string(layers.size()) + " layers");
    FlattenLayers(layers, canvas, &cancelledFlag);

    const std::string ext = kind == TOutputKind::Tiff ? ".tif" : kind == TOutputKind::Jpeg ? ".jpg" : ".png";
    const std::string result = tmp + "result" + ext;
    temps.Add(result);
    ReportStage("writing " + platform::ExtractFileName(output + ext));
    if (kind == TOutputKind::Png) {
        QImage image;
        canvas.AssignTo(&image);
        if (!image.save(QString::fromStdString(result), "PNG"))
            throw Exception("Cannot write the PNG image " + result);
    } else {
        canvas.JPEGQuality = format.jpegQuality;
        canvas.ProgressiveJPEG = format.jpegProgressive;
        canvas.SaveToFile(result);
    }
    if (stopSignal) throw EAbort();
    MoveFile(result, output + ext);
    return FileExists(output + ext) ? 0 : 1;
}

}  // namespace

int Main(int argc, char** argv) {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);

    std::vector<std::string> args(argv + 1, argv + argc);
    TempFiles temps;
    try {
        const int rc = Run(ParseArguments(args), temps);
        temps.RemoveAll();
        if (rc != 0) std::cerr << "PTStitcher: no output was written\n";
        return rc;
    } catch (const EUsage& e) {
        std::cerr << "PTStitcher: " << e.message() << "\n" << kUsage << "\n";
        return 2;
    } catch (const EAbort&) {
        temps.RemoveAll();
        std::cerr << "PTStitcher: stopped\n";
        return 128 + (stopSignal ? stopSignal : SIGTERM);
    } catch (const std::exception& e) {
        temps.RemoveAll();
        std::cerr << "PTStitcher: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace qb::ptstitcher
