#include "panotools/panocorrect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "panotools/testlibs/standin.h"
#include "platform/dynlib.h"
#include "tests/panotools/standin_support.h"
#include "tests/support/tempdir.h"

using namespace qb;
using qb::test::LibraryFile;
using qb::test::StandIn;
using qb::test::StandInLog;
using qb::standin::TStandinLog;

namespace {

std::string LoadError(const std::string& path) {
    LibraryFile file(path);
    try {
        TPanoCorrect pc;
    } catch (const Exception& e) {
        return e.what();
    }
    return "(loaded)";
}

std::string Missing(const char* name) {
    return std::string("Could not find the ") + name +
           " procedure in pano12.dll. Make sure that the dll is a compatible version";
}

}  // namespace

// ---------------------------------------------------------------- handles and TptImage

TEST(PtAlloc, HandleIsAddressAndTagOverZeroedMemory) {
    TptHandle h = ptAlloc(3000);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(h->address, nullptr);
    EXPECT_EQ(std::memcmp(h->tag, "OTOF", 4), 0);
    const auto* bytes = static_cast<const unsigned char*>(h->address);
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(bytes[i], 0) << i;
    ptFree(h);
    ptFree(nullptr);  // nothing for none
}

namespace {
void* NoMemory(size_t) { return nullptr; }
}  // namespace

TEST(PtAlloc, FailureReportsTruncatedKilobytes) {
    const TptMemoryAllocator previous = SetPtMemoryAllocator(NoMemory);
    std::string message;
    try {
        ptAlloc(3000);
    } catch (const EOutOfMemory& e) {
        message = e.what();
    }
    SetPtMemoryAllocator(previous);
    EXPECT_EQ(message, "Error allocating 2 KB of memory");
    EXPECT_THROW(ptAlloc(-5), EOutOfMemory);  // a negative size is never allocated
}

TEST(TptImage, InitialisationAndSizes) {
    TptImage im;
    EXPECT_EQ(im.width, 0);
    EXPECT_EQ(im.height, 0);
    EXPECT_EQ(im.bytesPerLine, 0);
    EXPECT_EQ(im.bitsPerPixel, 32);
    EXPECT_EQ(im.dataSize, 0);
    EXPECT_EQ(im.data, nullptr);
    EXPECT_EQ(im.format, 0);
    EXPECT_EQ(im.hfov, 90.0);
    EXPECT_EQ(im.yaw, 0.0);
    EXPECT_EQ(im.name[0], '\0');
    EXPECT_EQ(im.selection.top | im.selection.bottom | im.selection.left | im.selection.right, 0);
    // The object is the library's record as it stands.
    EXPECT_EQ(static_cast<void*>(static_cast<TptImageRecord*>(&im)), static_cast<void*>(&im));

    im.width = 7;
    im.height = 3;
    im.bitsPerPixel = 24;
    im.UpdateSizes();
    EXPECT_EQ(im.bytesPerLine, 21);
    EXPECT_EQ(im.dataSize, 63);

    // Sizes beyond the record's 32-bit fields are refused rather than wrapped.
    im.width = 100000;
    im.height = 100000;
    EXPECT_THROW(im.UpdateSizes(), EOutOfMemory);
}

TEST(TptImage, AllocClearFreeAndEmptySize) {
    TptImage im;
    im.width = 4;
    im.height = 2;
    im.AllocData();
    ASSERT_NE(im.Pixels(), nullptr);
    EXPECT_EQ(im.dataSize, 32);
    EXPECT_EQ(std::memcmp(im.data->tag, "OTOF", 4), 0);
    std::memset(im.Pixels(), 0x5A, 32);
    im.ClearData();
    for (int i = 0; i < 32; ++i) ASSERT_EQ(im.Pixels()[i], 0);
    im.FreeData();
    EXPECT_EQ(im.data, nullptr);
    im.ClearData();  // nothing to clear

    im.width = 0;
    im.AllocData();  // no pixels for a size of 0
    EXPECT_EQ(im.data, nullptr);
    EXPECT_EQ(im.dataSize, 0);
}

TEST(TptImage, CopyFromCopiesRecordAndPixelsWithoutSharing) {
    TptImage a;
    a.width = 3;
    a.height = 2;
    a.bitsPerPixel = 24;
    a.hfov = 47.5;
    a.cP.radial_params[1][3] = 0.25;
    std::strcpy(a.name, "source.tif");
    a.selection.right = 9;
    a.AllocData();
    for (int i = 0; i < a.dataSize; ++i) a.Pixels()[i] = static_cast<uint8_t>(i + 1);

    TptImage b;
    b.width = b.height = 5;
    b.AllocData();  // replaced by the copy
    b.CopyFrom(a);
    ASSERT_NE(b.data, nullptr);
    EXPECT_NE(b.data, a.data);
    EXPECT_NE(b.Pixels(), a.Pixels());
    EXPECT_EQ(b.width, 3);
    EXPECT_EQ(b.bytesPerLine, 9);
    EXPECT_EQ(b.dataSize, 18);
    EXPECT_EQ(b.hfov, 47.5);
    EXPECT_EQ(b.cP.radial_params[1][3], 0.25);
    EXPECT_STREQ(b.name, "source.tif");
    EXPECT_EQ(b.selection.right, 9);
    EXPECT_EQ(std::memcmp(a.Pixels(), b.Pixels(), 18), 0);

    b.CopyFrom(b);  // a copy of itself keeps its pixels
    ASSERT_NE(b.Pixels(), nullptr);
    EXPECT_EQ(b.Pixels()[17], 18);

    TptImage empty;
    b.CopyFrom(empty);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.width, 0);
}

// ---------------------------------------------------------------- loading

TEST(PanoCorrectLoad, LibraryFileChoice) {
    {
        LibraryFile file("/some/where/libother.so");
        EXPECT_EQ(Pano12LibraryFile(), "/some/where/libother.so");
    }
    {
        LibraryFile file("");
        unsetenv(Pano12LibraryVariable);
        // No bridge beside the test program: the name is searched on the library path.
        EXPECT_EQ(Pano12LibraryFile(), "libpano12.so");
    }
}

TEST(PanoCorrectLoad, FailureMessages) {
    EXPECT_EQ(LoadError("/nonexistent/libpano12.so"),
              std::string("Could not load pano12.dll.\n\nProbably Panorama Tools is not installed (correctly). "
                          "Please go to ") +
                  PanoToolsDownloadPage + " and install Panorama Tools.");
    EXPECT_EQ(LoadError(StandIn("nofiltermain")), Missing("filter_main"));
    EXPECT_EQ(LoadError(StandIn("nomymalloc")), Missing("mymalloc"));
    EXPECT_EQ(LoadError(StandIn("nomyfree")), Missing("myfree"));
    // filter_main, mymalloc and myfree are there; SetImageDefaults is not.
    EXPECT_EQ(LoadError(StandIn("noimagedefaults")), Missing("SetImageDefaults"));
    EXPECT_EQ(LoadError(StandIn("noadjustdefaults")), Missing("SetAdjustDefaults"));
    // The first missing one in the lookup order is named.
    EXPECT_EQ(LoadError(StandIn("nomallocadjust")), Missing("mymalloc"));
}

TEST(PanoCorrectLoad, LoadAndFreeAreIdempotent) {
    LibraryFile file(StandIn("full"));
    TPanoCorrect pc;
    EXPECT_TRUE(pc.Loaded());
    pc.LoadLibrary();  // loaded already: nothing happens
    EXPECT_TRUE(pc.Loaded());
    EXPECT_EQ(pc.GetNumLensTypes(), 3);
    pc.FreeLibrary();
    EXPECT_FALSE(pc.Loaded());
    // Without the library the queries answer their defaults and nothing is called.
    EXPECT_FALSE(pc.CanQueryFeature());
    EXPECT_EQ(pc.GetNumLensTypes(), -1);
    pc.FreeLibrary();
    pc.LoadLibrary();
    EXPECT_EQ(pc.GetNumLensTypes(), 3);
}

TEST(PanoCorrect, PublishedDefaults) {
    LibraryFile file(StandIn("full"));
    TPanoCorrect pc;
    EXPECT_FALSE(pc.cRadial);
    EXPECT_EQ(pc.cRadialType, ptRadial);
    EXPECT_EQ(pc.cRadialParams().red_d, 1.0);
    EXPECT_EQ(pc.cRadialParams().green_d, 1.0);
    EXPECT_EQ(pc.cRadialParams().blue_d, 1.0);
    EXPECT_EQ(pc.cRadialParams().red_a + pc.cRadialParams().green_r + pc.cRadialParams().blue_c, 0.0);
    EXPECT_EQ(pc.cShiftVerticalParams().red + pc.cLuminanceParams().blue, 0.0);
    EXPECT_EQ(pc.cFourierMode, ptAddBlurr);
    EXPECT_EQ(pc.cFourierNF, ptInternal);
    EXPECT_EQ(pc.Interpolator, ptPoly3);
    EXPECT_EQ(pc.Gamma, 1.0);
    EXPECT_TRUE(pc.ShowProgress);
    EXPECT_EQ(pc.cMode, ptUseProperties);
    EXPECT_EQ(static_cast<int>(ptSinc1024), 7);
}

// ---------------------------------------------------------------- versions

TEST(PanoCorrectVersion, RecordSizeDecidesVersion) {
    {
        LibraryFile file(StandIn("full"));  // writes exactly our record
        TPanoCorrect pc;
        EXPECT_EQ(pc.getPanoDllVersion(), 1);
        EXPECT_EQ(pc.checkVersion(), 1);
    }
    {
        LibraryFile file(StandIn("short"));
        TPanoCorrect pc;
        EXPECT_EQ(pc.getPanoDllVersion(), 0);
        try {
            pc.checkVersion();
            ADD_FAILURE() << "no failure";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(),
                         "Your version of pano12.dll is incompatible with this program, which requires Panorama "
                         "Tools 2.5 or newer. Install a recent version of Panorama Tools and remove any old "
                         "versions of pano12.dll.");
        }
    }
    {
        LibraryFile file(StandIn("long"));
        TPanoCorrect pc;
        EXPECT_EQ(pc.getPanoDllVersion(), 2);
        try {
            pc.checkVersion();
            ADD_FAILURE() << "no failure";
        } catch (const Exception& e) {
            EXPECT_STREQ(e.what(),
                         "This program probably may not function correctly, because the version of pano12.dll on "
                         "your system is incompatible with this program. You probably need to downgrade to an "
                         "earlier version of Panorama Tools in order to use this software.");
        }
    }
}

// ---------------------------------------------------------------- features

TEST(PanoCorrectFeatures, FullLibrary) {
    LibraryFile file(StandIn("full"));
    TPanoCorrect pc;
    EXPECT_TRUE(pc.CanQueryFeature());

    std::vector<std::string> list{"kept"};
    ASSERT_TRUE(pc.GetFeatures(list));
    ASSERT_EQ(list.size(), 13u);
    EXPECT_EQ(list[0], "kept");
    EXPECT_EQ(list[1], "NumLensTypes");
    EXPECT_EQ(list[12], "Patch200309a");

    EXPECT_EQ(pc.GetNumLensTypes(), 3);
    std::string name;
    bool circular = true;
    pc.GetLensType(0, name, circular);
    EXPECT_EQ(name, "Normal (rectilinear)");
    EXPECT_FALSE(circular);
    pc.GetLensType(1, name, circular);
    EXPECT_EQ(name, "Fisheye Circular");
    EXPECT_TRUE(circular);
    // An empty lens type leaves the flag as it was (its mask would say "C").
    for (bool before : {false, true}) {
        circular = before;
        name = "old";
        pc.GetLensType(2, name, circular);
        EXPECT_EQ(name, "");
        EXPECT_EQ(circular, before);
    }
    circular = true;
    pc.GetLensType(12, name, circular);  // no such feature
    EXPECT_EQ(name, "");
    EXPECT_TRUE(circular);

    int32_t value = -9;
    EXPECT_TRUE(pc.GetIntFeature("CanCropOutside", &value));
    EXPECT_EQ(value, 1);
    EXPECT_EQ(pc.GetIntFeature("CanCropOutside", 0), 1);
    EXPECT_EQ(pc.GetIntFeature("NoSuchFeature", 42), 42);
    value = -9;
    EXPECT_FALSE(pc.GetIntFeature("LensType0", &value));  // a string feature is no integer
    EXPECT_EQ(value, -9);
    EXPECT_EQ(pc.GetStringFeature("NumLensTypes"), "3");
    EXPECT_EQ(pc.GetStringFeature("NoSuchFeature"), "");
    double d = 0;
    EXPECT_TRUE(pc.GetDoubleFeature("MaxFFOV", d));
    EXPECT_EQ(d, 160.5);
    EXPECT_EQ(pc.GetMaxFoV(), 160.5);
    EXPECT_TRUE(pc.HasFastTransform());
    EXPECT_TRUE(pc.CPErrorIsDistSphere());
    EXPECT_TRUE(pc.CanLinkYPR());
}

TEST(PanoCorrectFeatures, WithoutQueryFeatureCountEverythingDefaults) {
    LibraryFile file(StandIn("nocount"));
    TPanoCorrect pc;  // the other four queries exist, but are not used
    EXPECT_FALSE(pc.CanQueryFeature());
    std::vector<std::string> list{"kept"};
    EXPECT_FALSE(pc.GetFeatures(list));
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(pc.GetNumLensTypes(), -1);
    EXPECT_EQ(pc.GetMaxFoV(), -1.0);
    EXPECT_FALSE(pc.HasFastTransform());
    EXPECT_FALSE(pc.CPErrorIsDistSphere());
    EXPECT_FALSE(pc.CanLinkYPR());
    EXPECT_EQ(pc.GetStringFeature("LensType0"), "");
    EXPECT_EQ(pc.GetIntFeature("CanCropOutside", 7), 7);
    std::string name = "x";
    bool circular = true;
    pc.GetLensType(1, name, circular);
    EXPECT_EQ(name, "");
    EXPECT_TRUE(circular);
}

TEST(PanoCorrectFeatures, MissingSingleQueriesAreUnavailable) {
    LibraryFile file(StandIn("partialquery"));  // no queryFeatures, no queryFeatureInt
    TPanoCorrect pc;
    EXPECT_TRUE(pc.CanQueryFeature());
    std::vector<std::string> list;
    EXPECT_FALSE(pc.GetFeatures(list));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(pc.GetNumLensTypes(), -1);
    EXPECT_EQ(pc.GetIntFeature("CanCropOutside", 0), 0);
    EXPECT_FALSE(pc.CPErrorIsDistSphere());
    // The queries that are there still answer.
    EXPECT_EQ(pc.GetStringFeature("LensType1"), "Fisheye Circular");
    EXPECT_EQ(pc.GetMaxFoV(), 160.5);
    EXPECT_TRUE(pc.HasFastTransform());
}

TEST(PanoCorrectFeatures, FeatureCounts) {
    {
        LibraryFile file(StandIn("count0"));
        TPanoCorrect pc;
        std::vector<std::string> list;
        EXPECT_TRUE(pc.GetFeatures(list));
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(pc.GetNumLensTypes(), -1);
        EXPECT_FALSE(pc.HasFastTransform());
    }
    {
        LibraryFile file(StandIn("count3"));
        TPanoCorrect pc;
        std::vector<std::string> list;
        EXPECT_TRUE(pc.GetFeatures(list));
        EXPECT_EQ(list, (std::vector<std::string>{"NumLensTypes", "LensType0", "LensType1"}));
        EXPECT_EQ(pc.GetNumLensTypes(), 3);
        std::string name;
        bool circular = true;
        pc.GetLensType(1, name, circular);  // its mask is not among the three
        EXPECT_EQ(name, "Fisheye Circular");
        EXPECT_FALSE(circular);
    }
}

// ---------------------------------------------------------------- the optimizer run

TEST(PanoCorrectOptimizer, RecordsHandedToTheLibrary) {
    LibraryFile file(StandIn("full"));
    TPanoCorrect pc;
    StandInLog log("full");
    ASSERT_TRUE(log.ok());
    pc.Interpolator = ptSinc256;
    pc.Gamma = 2.2;
    pc.ShowProgress = false;
    pc.RunOptimizer("/tmp/vrdtemp0.txt");

    ASSERT_EQ(log->filterCalls, 1);
    ASSERT_EQ(log->mallocCalls, 3);
    EXPECT_EQ(log->mallocSizes[0], sizeof(TptTransformRecord));
    EXPECT_EQ(log->mallocSizes[1], sizeof(TptStitchPrefsRecord));
    EXPECT_EQ(log->mallocSizes[2], sizeof(TptAdjustRecord));
    EXPECT_TRUE(log->recordsFromMymalloc);
    EXPECT_EQ(log->liveHandles, 0);  // all three returned to myfree

    const TptTransformRecord& t = log->trans;
    EXPECT_EQ(t.success, 0);
    EXPECT_EQ(t.tool, 3);
    EXPECT_EQ(t.mode, 35);
    EXPECT_EQ(t.interpolator, 6);
    EXPECT_EQ(t.gamma, 2.2);
    EXPECT_EQ(static_cast<uint32_t>(t.reserved), 0xABABABABu);  // left as the library gave it

    const TptAdjustRecord& a = log->adjust;
    EXPECT_EQ(a.magic, 50);
    EXPECT_EQ(a.mode, 9);
    EXPECT_STREQ(a.scriptFile, "/tmp/vrdtemp0.txt");
    EXPECT_EQ(static_cast<unsigned char>(a.sBuf.srcName[0]), standin::FillByte);  // not set

    const TptStitchPrefsRecord& p = log->prefs;
    EXPECT_EQ(p.magic, 70);
    EXPECT_EQ(p.displayPart, 0);
    EXPECT_EQ(p.saveFile, 0);
    EXPECT_EQ(p.launchApp, 0);
    EXPECT_EQ(p.interpolator, 6);
    EXPECT_EQ(p.gamma, 2.2);

    for (const TptImageRecord* im : {&log->src, &log->dest}) {
        EXPECT_EQ(im->width, 1);
        EXPECT_EQ(im->height, 1);
        EXPECT_EQ(im->bitsPerPixel, 32);
        EXPECT_EQ(im->bytesPerLine, 4);
        EXPECT_EQ(im->dataSize, 4);
        EXPECT_EQ(im->hfov, 90.0);
    }
    EXPECT_TRUE(log->srcTagOk);
    EXPECT_TRUE(log->destTagOk);
    EXPECT_NE(log->src.data, log->dest.data);

    pc.ShowProgress = true;
    pc.RunOptimizer(std::string(300, 'x'));
    EXPECT_EQ(log->trans.mode, 51);
    EXPECT_EQ(std::strlen(log->adjust.scriptFile), 259u);  // at most 259 characters
}

TEST(PanoCorrectOptimizer, LibraryOutOfMemory) {
    LibraryFile file(StandIn("mallocfail"));  // the third block cannot be had
    TPanoCorrect pc;
    StandInLog log("mallocfail");
    ASSERT_TRUE(log.ok());
    try {
        pc.RunOptimizer("/tmp/x.txt");
        ADD_FAILURE() << "no failure";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Out of memory!");
    }
    EXPECT_EQ(log->filterCalls, 0);
    EXPECT_EQ(log->liveHandles, 0);  // the two blocks that were had went back
}

// ---------------------------------------------------------------- the bridge over libpano13

#ifdef QB_PANO12_BRIDGE

namespace {

// libpano13 itself, to compare the bridge's answers with.
struct Pano13Direct {
    void* lib = platform::LoadLibrary("libpano13.so.3");
    ~Pano13Direct() {
        if (lib) platform::FreeLibrary(lib);
    }
    std::string String(const char* name) const {
        auto q = reinterpret_cast<int (*)(const char*, char*, int)>(platform::GetProcAddress(lib, "queryFeatureString"));
        char buf[512] = {};
        if (!q || q(name, buf, sizeof buf) <= 0) return std::string();
        return buf;
    }
};

const char* const MorphScript =
    "# script file for ptOptimizer (morph to fit) created by vorda\r\n"
    "\r\n"
    "p w1000 h500 f2 v360 u10 n\"JPEG g0 q90\"\r\n"
    "i n\"a.jpg\" w400 h300 f0 y0 r0 p0 v50 a0 b0 c0 d0 e0 g0 t0\r\n"
    "i n\"b.jpg\" w400 h300 f0 y30 r0 p0 v=0 a=0 b=0 c=0 d=0 e=0 g=0 t=0\r\n"
    "\r\n"
    "# Dummy image for determining the morph to fit parameters:\r\n"
    "i w10 h10 y0 r0 p0 v90 f0\r\n"
    "c n0 N1 x300 y150 X100 Y150 t0\r\n"
    "c n0 N1 x310 y50 X110 Y50 t0\r\n"
    "c n0 N1 x320 y250 X120 Y250 t0\r\n"
    "\r\n"
    "# optimizer:\r\n"
    "v y2\r\n";

}  // namespace

TEST(PanoCorrectBridge, ReportsTheRealLibrary) {
    LibraryFile file(QB_PANO12_BRIDGE);
    TPanoCorrect pc;
    Pano13Direct direct;
    ASSERT_NE(direct.lib, nullptr);
    EXPECT_EQ(pc.getPanoDllVersion(), 1);
    EXPECT_EQ(pc.checkVersion(), 1);
    ASSERT_TRUE(pc.CanQueryFeature());
    EXPECT_EQ(pc.GetIntFeature("CanCropOutside", 0), std::stoi(direct.String("CanCropOutside")));
    const int n = pc.GetNumLensTypes();
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::to_string(n), direct.String("NumLensTypes"));
    for (int i = 0; i < n; ++i) {
        std::string name;
        bool circular = false;
        pc.GetLensType(i, name, circular);
        EXPECT_EQ(name, direct.String(("LensType" + std::to_string(i)).c_str()));
        EXPECT_EQ(circular, direct.String(("LensMask" + std::to_string(i)).c_str()) == "C") << i;
    }
    std::vector<std::string> list;
    EXPECT_TRUE(pc.GetFeatures(list));
    EXPECT_NE(std::find(list.begin(), list.end(), "CanCropOutside"), list.end());
    // The fast transform is the installed stitcher's (PTmender honours f0): the bridge
    // reports it, listed and with a value, whether or not libpano13 does.
    EXPECT_TRUE(pc.HasFastTransform());
    EXPECT_NE(std::find(list.begin(), list.end(), "FastTransform01"), list.end());
    EXPECT_EQ(std::count(list.begin(), list.end(), "FastTransform01"), 1);
    EXPECT_EQ(pc.GetStringFeature("FastTransform01"),
              direct.String("FastTransform01").empty() ? "yes" : direct.String("FastTransform01"));
    // The value is cut to the buffer and still terminated.
    auto query = reinterpret_cast<int (*)(const char*, char*, int)>(platform::GetProcAddress(
        platform::LoadLibrary(QB_PANO12_BRIDGE), "queryFeatureString"));
    ASSERT_NE(query, nullptr);
    char small[3] = {'x', 'x', 'x'};
    EXPECT_EQ(query("FastTransform01", small, 2), int(pc.GetStringFeature("FastTransform01").size()));
    EXPECT_EQ(small[1], '\0');
    EXPECT_EQ(small[2], 'x');
}

TEST(PanoCorrectBridge, HandlesAndDefaults) {
    void* lib = platform::LoadLibrary(QB_PANO12_BRIDGE);
    ASSERT_NE(lib, nullptr);
    auto alloc = reinterpret_cast<TptMyMallocProc>(platform::GetProcAddress(lib, "mymalloc"));
    auto release = reinterpret_cast<TptMyFreeProc>(platform::GetProcAddress(lib, "myfree"));
    auto imageDefaults = reinterpret_cast<TptSetImageDefaultsProc>(platform::GetProcAddress(lib, "SetImageDefaults"));
    auto adjustDefaults =
        reinterpret_cast<TptSetAdjustDefaultsProc>(platform::GetProcAddress(lib, "SetAdjustDefaults"));
    ASSERT_TRUE(alloc && release && imageDefaults && adjustDefaults);

    // The library's handles have ptAlloc's form, so either side may release them.
    TptHandle h = alloc(100);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::memcmp(h->tag, "OTOF", 4), 0);
    EXPECT_EQ(static_cast<unsigned char*>(h->address)[99], 0);
    ptFree(h);
    release(ptAlloc(100));
    release(nullptr);

    auto adjust = std::make_unique<TptAdjustRecord>();
    std::memset(adjust.get(), 0x6E, sizeof *adjust);
    adjustDefaults(adjust.get());
    EXPECT_EQ(adjust->magic, 50);
    EXPECT_EQ(adjust->im.data, nullptr);
    EXPECT_EQ(adjust->pano.data, nullptr);
    EXPECT_EQ(adjust->im.cP.magic, 20);
    EXPECT_EQ(adjust->nt, 0);

    TptImage defaults;
    imageDefaults(&defaults);  // replaces the record as it stands (no pixels)
    EXPECT_EQ(defaults.data, nullptr);
    EXPECT_EQ(defaults.cP.magic, 20);
    platform::FreeLibrary(lib);
}

class PanoCorrectBridgeRun : public test::TempDirTest {};

TEST_F(PanoCorrectBridgeRun, OptimizerLeavesItsOutputWithCrLf) {
    LibraryFile file(QB_PANO12_BRIDGE);
    TPanoCorrect pc;
    pc.ShowProgress = false;
    const std::string script = Path("vrdtemp0.txt");
    test::WriteFile(script, MorphScript);
    pc.RunOptimizer(script);

    const std::string out = test::ReadFile(script);
    ASSERT_EQ(out.compare(0, std::strlen(MorphScript), MorphScript), 0);  // the script stays in front
    EXPECT_NE(out.find("generated by Panorama Tools"), std::string::npos);
    // One "C" line per image of each of the three control points.
    size_t cLines = 0;
    for (size_t pos = out.find("\r\nC "); pos != std::string::npos; pos = out.find("\r\nC ", pos + 1)) ++cLines;
    EXPECT_EQ(cLines, 6u);
    EXPECT_NE(out.find("\r\nC i0 c0 "), std::string::npos);
    EXPECT_NE(out.find("\r\nC i1 c2 "), std::string::npos);
    // Every line ends with CR LF.
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == '\n') {
            ASSERT_TRUE(i > 0 && out[i - 1] == '\r') << "bare LF at " << i;
        }
    }
}

TEST_F(PanoCorrectBridgeRun, MissingScriptLeavesNothingBehind) {
    LibraryFile file(QB_PANO12_BRIDGE);
    TPanoCorrect pc;
    pc.ShowProgress = false;
    const std::string script = Path("absent.txt");
    pc.RunOptimizer(script);  // the library's failure is the caller's to judge from the file
    EXPECT_EQ(test::ReadFile(script), "");
}

#endif
