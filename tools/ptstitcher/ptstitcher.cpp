#include "tools/ptstitcher/ptstitcher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <QBuffer>
#include <QImage>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <utility>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "components/MemBitmapIO/zrstream.h"
#include "components/MemBitmapIO/zrtiffstrips.h"
#include "core/numbertext.h"
#include "model/datastructures.h"
#include "model/stitcheroutput.h"
#include "platform/files.h"
#include "platform/syserror.h"

extern char** environ;

namespace qb::ptstitcher {

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

std::string ScriptForPTmender(const std::string& script, bool croppedLayers) {
    const std::string layers = croppedLayers ? "n\"TIFF_m r:CROP\"" : "n\"TIFF_m r:UNCROP\"";
    const LineRange line = FindPanoramaLine(script);
    if (line.begin == std::string::npos) return script;
    const Field field = FindFormatField(script, line);
    if (field.begin == std::string::npos)
        return script.substr(0, line.end) + " " + layers + script.substr(line.end);
    return script.substr(0, field.begin) + layers + script.substr(field.end);
}

std::string ScriptWithImagesFrom(const std::string& script, const std::string& dir) {
    std::string out;
    out.reserve(script.size() + 256);
    size_t pos = 0;
    while (pos < script.size()) {
        size_t eol = script.find('\n', pos);
        eol = eol == std::string::npos ? script.size() : eol + 1;
        const char kind = script[pos];
        if ((kind == 'i' || kind == 'o') && pos + 1 < eol && (script[pos + 1] == ' ' || script[pos + 1] == '\t')) {
            LineRange line{pos, eol};
            while (line.end > pos && (script[line.end - 1] == '\n' || script[line.end - 1] == '\r')) --line.end;
            const Field field = FindFormatField(script, line);
            if (field.begin != std::string::npos && !field.text.empty() && field.text[0] != '/') {
                if (dir.find('"') != std::string::npos)
                    throw Exception("The script's folder cannot be named in a script: " + dir);
                out.append(script, pos, field.begin + 2 - pos);
                out += dir + field.text;
                out.append(script, field.begin + 2 + field.text.size(), eol - (field.begin + 2 + field.text.size()));
                pos = eol;
                continue;
            }
        }
        out.append(script, pos, eol - pos);
        pos = eol;
    }
    return out;
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

TLayerPlace PlaceOf(TIFF* tif) {
    TLayerPlace place;
    float xpos = 0, ypos = 0, xres = 0, yres = 0;
    const bool hasX = TIFFGetField(tif, TIFFTAG_XPOSITION, &xpos) == 1;
    const bool hasY = TIFFGetField(tif, TIFFTAG_YPOSITION, &ypos) == 1;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) != 1 || xres <= 0) xres = 1;
    if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres) != 1 || yres <= 0) yres = 1;
    // Positions are in resolution units; the resolution gives pixels per unit.
    if (hasX) place.x = Round(double(xpos) * xres);
    if (hasY) place.y = Round(double(ypos) * yres);
    uint32_t fullWidth = 0, fullHeight = 0;
    if (TIFFGetField(tif, TIFFTAG_PIXAR_IMAGEFULLWIDTH, &fullWidth) == 1 &&
        TIFFGetField(tif, TIFFTAG_PIXAR_IMAGEFULLLENGTH, &fullHeight) == 1 && fullWidth <= 0x7FFFFFFF &&
        fullHeight <= 0x7FFFFFFF) {
        place.canvasWidth = static_cast<int32_t>(fullWidth);
        place.canvasHeight = static_cast<int32_t>(fullHeight);
    }
    return place;
}

}  // namespace

TLayerPlace ReadLayerPlace(const std::string& tiffFile) {
    TiffFile f(tiffFile);
    if (!f.tif) throw Exception("Cannot read the layer " + tiffFile);
    return PlaceOf(f.tif);
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

void StreamLayers(const std::vector<std::string>& layers, TzrMemBitmap& canvas,
                  const volatile int* cancelled) {
    const int64_t canvasWidth = canvas.GetWidth(), canvasHeight = canvas.GetHeight();
    const int bpp = canvas.GetBytesPerPixel();
    for (const std::string& name : layers) {
        if (cancelled && *cancelled) throw EAbort();
        TiffFile f(name);
        if (!f.tif) throw Exception("Cannot read the layer " + name);
        if (TIFFIsTiled(f.tif)) {
            // Tiles have no rows of their own: such a layer is loaded whole.
            FlattenLayers({name}, canvas, cancelled);
            continue;
        }
        const TLayerPlace place = PlaceOf(f.tif);
        uint32_t width = 0, height = 0, rowsPerStrip = 0;
        if (TIFFGetField(f.tif, TIFFTAG_IMAGEWIDTH, &width) != 1 ||
            TIFFGetField(f.tif, TIFFTAG_IMAGELENGTH, &height) != 1 || width > 0x7FFFFFFF || height > 0x7FFFFFFF)
            throw Exception("Cannot read the layer " + name);
        TIFFGetFieldDefaulted(f.tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        if (width == 0 || height == 0) continue;
        // The columns of the layer that lie on the canvas.
        const int64_t x0 = std::max<int64_t>(0, -int64_t(place.x));
        const int64_t x1 = std::min<int64_t>(width, canvasWidth - place.x);
        if (x1 <= x0) continue;
        const int n = static_cast<int>(x1 - x0);
        TzrTiffStrips strips(f.tif, int(width), int(height),
                             int(std::min<uint32_t>(rowsPerStrip ? rowsPerStrip : height, 0x7FFFFFFF)), 4);
        TzrWriteHold hold(canvas);
        for (int s = 0; s < strips.Count(); ++s) {
            if (cancelled && *cancelled) throw EAbort();
            const int64_t top = int64_t(place.y) + strips.FirstRow(s);
            const int rows = strips.RowsIn(s);
            if (top + rows <= 0) continue;
            if (top >= canvasHeight) break;
            strips.Read(s);
            for (int i = 0; i < rows; ++i) {
                const int64_t y = top + i;
                if (y < 0 || y >= canvasHeight) continue;
                TzrMemBitmap::BlendRow(strips.Row(i) + 4 * x0, 4,
                                       canvas.GetScanline(static_cast<int>(y)) + size_t(place.x + x0) * bpp, bpp,
                                       n, 255);
            }
        }
    }
}

void WriteFlattened(const std::vector<std::string>& layers, TOutputKind kind, const TScriptFormat& format,
                    int32_t width, int32_t height, TzrStream& out, bool streamed,
                    const volatile int* cancelled) {
    TzrMemBitmap canvas;
    // A JPEG has no alpha: its canvas is black where no layer covers it.
    canvas.SetWidthHeightPixelFormat(width, height, kind == TOutputKind::Jpeg ? pf24bit : pf32bit, false);
    canvas.FillColor(0);
    if (streamed) StreamLayers(layers, canvas, cancelled);
    else FlattenLayers(layers, canvas, cancelled);
    if (cancelled && *cancelled) throw EAbort();
    switch (kind) {
        case TOutputKind::Png: {
            QImage image;
            canvas.AssignTo(&image);
            QByteArray bytes;
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            if (!image.save(&buffer, "PNG")) throw Exception("Cannot make the PNG image");
            out.WriteBuffer(bytes.constData(), bytes.size());
            break;
        }
        case TOutputKind::Jpeg:
            canvas.JPEGQuality = format.jpegQuality;
            canvas.ProgressiveJPEG = format.jpegProgressive;
            canvas.SaveToStream(out, mbftJPEG);
            break;
        case TOutputKind::Tiff:
            canvas.SaveToStream(out, mbftTIFF);
            break;
        default:
            throw Exception("Internal error: no flattened output for this format");
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

std::string ErrorText(int error) { return platform::SysErrorMessage(error); }

// A lock on a file or folder of the run, held until the run ends. The descriptor is passed
// on to PTmender, so the lock also lasts as long as PTmender runs when this program is
// killed.
class THeldLock {
public:
    THeldLock() = default;
    THeldLock(int fd, int how) : fd_(fd) {
        if (fd_ >= 0) flock(fd_, how | LOCK_NB);
    }
    ~THeldLock() { Release(); }
    THeldLock(THeldLock&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    THeldLock& operator=(THeldLock&& o) noexcept {
        if (this != &o) {
            Release();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    void Release() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// A result file being written in the output folder under a temporary name, with every
// write checked and an exclusive lock held; Commit closes it (checked) and renames it to
// its final name. A file that is not committed is removed.
class TOutputFile : public TzrStream {
public:
    TOutputFile(const std::string& tempName, const std::string& finalName) : temp_(tempName), final_(finalName) {
        fd_ = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0) Fail(errno);
        flock(fd_, LOCK_EX | LOCK_NB);
        // The lock stays with this second descriptor until the rename is done.
        lockFd_ = ::dup(fd_);
    }
    ~TOutputFile() override {
        if (fd_ >= 0) ::close(fd_);
        if (!committed_) ::unlink(temp_.c_str());
        if (lockFd_ >= 0) ::close(lockFd_);
    }
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;

    int64_t Read(void* buffer, int64_t count) override {
        int64_t done = 0;
        while (done < count) {
            const ssize_t n = ::read(fd_, static_cast<char*>(buffer) + done, size_t(count - done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) Fail(errno);
            if (n == 0) break;
            done += n;
        }
        return done;
    }
    int64_t Write(const void* buffer, int64_t count) override {
        int64_t done = 0;
        while (done < count) {
            const ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, size_t(count - done));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) Fail(errno);
            if (n == 0) Fail(ENOSPC);
            done += n;
        }
        return done;
    }
    int64_t Seek(int64_t offset, TzrSeekOrigin origin) override {
        const int whence = origin == TzrSeekOrigin::soBeginning ? SEEK_SET
                           : origin == TzrSeekOrigin::soCurrent  ? SEEK_CUR
                                                                 : SEEK_END;
        const off_t at = ::lseek(fd_, offset, whence);
        return at < 0 ? -1 : at;
    }
    // Copies a whole file into this one.
    void CopyFrom(const std::string& source) {
        const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) throw Exception("Cannot read " + source + ": " + ErrorText(errno));
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const ssize_t n = ::read(in, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                const int error = errno;
                ::close(in);
                throw Exception("Cannot read " + source + ": " + ErrorText(error));
            }
            if (n == 0) break;
            try {
                Write(buffer.data(), n);
            } catch (...) {
                ::close(in);
                throw;
            }
        }
        ::close(in);
    }
    // The first failed write or close, "" when none failed.
    const std::string& Failure() const { return failure_; }
    void Commit() {
        const int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) Fail(errno);
        if (std::rename(temp_.c_str(), final_.c_str()) != 0) Fail(errno);
        committed_ = true;
    }

private:
    [[noreturn]] void Fail(int error) {
        if (failure_.empty()) failure_ = "Cannot write " + final_ + ": " + ErrorText(error);
        throw Exception(failure_);
    }
    std::string failure_;
    std::string temp_, final_;
    int fd_ = -1, lockFd_ = -1;
    bool committed_ = false;
};

// The files of one run in the working directory: the folder "_PTStitcher_tmp_<pid>_<n>",
// in which PTmender finds its script and writes its layers and its own temporary files
// (those it unlinks and makes again could not be locked one by one; inside the folder no
// sweep of the working directory sees them). The folder and the script are locked while
// the run lasts and removed when it ends, however it ends.
class TRunFiles {
public:
    TRunFiles() {
        const std::string pid = std::to_string(getpid());
        for (int n = 0; n < 100; ++n) {
            const std::string stem = std::string(kTempPrefix) + pid + "_" + std::to_string(n);
            if (::mkdir(stem.c_str(), 0700) != 0) {
                if (errno == EEXIST) continue;
                throw Exception("Cannot make the folder " + stem + ": " + ErrorText(errno));
            }
            folder_ = stem;
            folderLock_ = THeldLock(::open(stem.c_str(), O_RDONLY | O_DIRECTORY), LOCK_SH);
            const int fd = ::open(Script().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
            if (fd < 0) {
                const int error = errno;
                folderLock_.Release();
                ::rmdir(stem.c_str());
                folder_.clear();
                throw Exception("Cannot write " + stem + "/script.txt: " + ErrorText(error));
            }
            stem_ = stem;
            scriptFd_ = fd;
            scriptLock_ = THeldLock(::dup(fd), LOCK_SH);
            return;
        }
        throw Exception("Cannot find a free name for the temporary files in the working directory");
    }
    ~TRunFiles() { Remove(); }
    TRunFiles(const TRunFiles&) = delete;
    TRunFiles& operator=(const TRunFiles&) = delete;

    // The name stem shared by every temporary file of this run.
    const std::string& Stem() const { return stem_; }
    std::string Script() const { return folder_ + "/script.txt"; }
    std::string Folder() const { return folder_ + "/"; }

    void WriteScript(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(scriptFd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw Exception("Cannot write " + Script() + ": " + ErrorText(n < 0 ? errno : ENOSPC));
            done += size_t(n);
        }
        const int fd = std::exchange(scriptFd_, -1);
        if (::close(fd) != 0) throw Exception("Cannot write " + Script() + ": " + ErrorText(errno));
    }

    void Remove() {
        if (scriptFd_ >= 0) ::close(std::exchange(scriptFd_, -1));
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
            folder_.clear();
        }
        stem_.clear();
        folderLock_.Release();
        scriptLock_.Release();
    }

private:
    std::string stem_, folder_;
    int scriptFd_ = -1;
    THeldLock folderLock_, scriptLock_;
};

// What killed runs left in a folder: entries named "_PTStitcher_tmp_<pid>_..." whose
// process is gone and on which nobody holds a lock (a PTmender that outlived its front still
// holds the run's folder). Everything else is left alone: other names, and whatever a live
// run holds.
void SweepDeadRuns(const std::string& folder) {
    std::error_code ec;
    const std::string prefix = kTempPrefix;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        const size_t sep = name.find('_', prefix.size());
        if (sep == std::string::npos || sep == prefix.size() || sep - prefix.size() > 9) continue;
        const std::string digits = name.substr(prefix.size(), sep - prefix.size());
        if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
        const pid_t pid = static_cast<pid_t>(std::stol(digits));
        if (pid <= 0 || pid == getpid() || kill(pid, 0) == 0 || errno != ESRCH) continue;
        std::error_code typeError;
        if (entry.is_symlink(typeError) || platform::FileLockedByOthers(entry.path().string())) continue;
        std::error_code ignored;
        std::filesystem::remove_all(entry.path(), ignored);
    }
}

std::string ReadWholeFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    if (!in) throw Exception("Cannot read the script " + name + ": " + platform::SysErrorMessage(errno));
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
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

// A stage of our own after PTmender's, on stdout beside its progress ("PTStitcher: <stage>"),
// for whoever follows the run.
void ReportStage(const std::string& stage) { std::cout << "PTStitcher: " << stage << std::endl; }

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

// Bitmaps above this many bytes live in a mapped temporary file instead of memory.
int32_t OnDiskBytes() {
    int64_t v = 0;
    if (const char* e = std::getenv("PTSTITCHER_ONDISK_BYTES"); e && TryStrToInt64(e, v) && v > 0)
        return static_cast<int32_t>(std::min<int64_t>(v, 0x7FFFFFFF));
    return 256 << 20;
}

// The results placed under their final names so far; removed again unless the run
// succeeds, so that a failed run never leaves part of its result.
struct TPlacedResults {
    std::vector<std::string> names;
    bool keep = false;
    ~TPlacedResults() {
        if (!keep)
            for (const auto& n : names) ::unlink(n.c_str());
    }
};

int Run(const TArguments& args) {
    const std::string scriptText = ReadWholeFile(args.script);
    const TScriptFormat format = ReadScriptFormat(scriptText);
    const TOutputKind kind = OutputKindOf(format);
    if (kind == TOutputKind::Unsupported)
        throw Exception("Unsupported output format \"" + format.name +
                        "\": PTStitcher writes TIFF_m, TIFF_mask, TIFF, JPEG and PNG");
    const std::string ptmender = FindPTmender();

    // The output folder is checked before PTmender works for minutes.
    const std::string output = platform::ExpandFileName(args.output);
    const std::string outputDir = platform::ExtractFilePath(output);
    if (!platform::DirectoryExists(outputDir))
        throw Exception("The output folder " + outputDir + " does not exist");
    if (access(outputDir.c_str(), W_OK | X_OK) != 0)
        throw Exception("Cannot write to the output folder " + outputDir + ": " + ErrorText(errno));

    SweepDeadRuns(".");
    std::error_code notSame;
    if (!std::filesystem::equivalent(outputDir, ".", notSame)) SweepDeadRuns(outputDir);
    TRunFiles run;
    const bool flatten = kind != TOutputKind::Layers;
    // Image names are relative to the working directory; PTmender takes them relative to
    // its script, which is in the run's folder.
    run.WriteScript(ScriptWithImagesFrom(ScriptForPTmender(scriptText, flatten),
                                         platform::IncludeTrailingPathDelimiter(platform::ExpandFileName("."))));
    const std::string tempStem = outputDir + run.Stem();

    // A flattened result's file is made at once: the name is reserved and the folder proved
    // writable before PTmender runs.
    std::unique_ptr<TOutputFile> result;
    const std::string final = StitcherResultFile(output, format.code);
    if (flatten) result = std::make_unique<TOutputFile>(tempStem + StitcherExtension(format.code), final);

    // PTmender numbers its layers prefix0000.tif, prefix0001.tif, ...
    const std::string layerPrefix = run.Folder() + "layer";
    RunPTmender(ptmender, layerPrefix, run.Script());
    std::vector<std::string> layers;
    while (FileExists(StitcherResultFile(layerPrefix, kFormatTIFF_m, int(layers.size()))))
        layers.push_back(StitcherResultFile(layerPrefix, kFormatTIFF_m, int(layers.size())));
    if (layers.empty()) throw Exception("PTmender wrote no images");

    if (!flatten) {
        TPlacedResults placed;
        for (size_t i = 0; i < layers.size(); ++i) {
            if (stopSignal) throw EAbort();
            const std::string to = StitcherResultFile(output, format.code, int(i));
            // A complete layer on the same file system moves in one step; elsewhere it is
            // copied under a temporary name first.
            if (std::rename(layers[i].c_str(), to.c_str()) != 0) {
                if (errno != EXDEV) throw Exception("Cannot write " + to + ": " + ErrorText(errno));
                TOutputFile copy(tempStem + "_" + std::to_string(i) + ".tif", to);
                copy.CopyFrom(layers[i]);
                copy.Commit();
            }
            placed.names.push_back(to);
        }
        placed.keep = true;
        return 0;
    }

    TzrMemBitmap::DefaultAutoOnDiskSize = OnDiskBytes();
    int32_t width = format.width, height = format.height;
    if (width <= 0 || height <= 0) {
        const TLayerPlace first = ReadLayerPlace(layers[0]);
        width = first.canvasWidth;
        height = first.canvasHeight;
        if (width <= 0 || height <= 0) TzrMemBitmap::GetSizeFromFile(layers[0], &width, &height);
    }
    ReportStage("flattening " + std::to_string(layers.size()) + " layers into " +
                platform::ExtractFileName(final));
    try {
        WriteFlattened(layers, kind, format, width, height, *result, true, &cancelledFlag);
    } catch (const EAbort&) {
        throw;
    } catch (const Exception&) {
        // The encoders report a failed write in words of their own; the file's failure says
        // which file and why.
        if (!result->Failure().empty()) throw Exception(result->Failure());
        throw;
    }
    if (stopSignal) throw EAbort();
    result->Commit();
    return 0;
}

}  // namespace

int Main(int argc, char** argv) {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);

    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return Run(ParseArguments(args));
    } catch (const EUsage& e) {
        std::cerr << "PTStitcher: " << e.message() << "\n" << kUsage << "\n";
        return 2;
    } catch (const EAbort&) {
        std::cerr << "PTStitcher: stopped\n";
        return 128 + (stopSignal ? stopSignal : SIGTERM);
    } catch (const std::exception& e) {
        std::cerr << "PTStitcher: " << e.what() << "\n";
        return 1;
    }
}

}  // namespace qb::ptstitcher
