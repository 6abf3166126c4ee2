// The options form: its links, the seeding of the shared key in its order, the lens-type
// table from the library, the checks of the OK button and of page changes, the browse
// buttons and the small handlers. Each test has its own store file, program directory and
// stand-in Panorama Tools library.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>

#include <filesystem>
#include <memory>

#include "panotools/panocorrect.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "settings/options.h"
#include "tests/settings/fakedialogs.h"
#include "tests/support/failure.h"
#include "tests/support/qtapp.h"
#include "tests/support/tempdir.h"

namespace qb::settings {
namespace {

using qb::platform::TRegDataType;
using qb::platform::TRegistry;
using qb::test::ScopedEnv;
using qb::test::StandinLibrary;

std::string Message(const std::function<void()>& f) { return qb::test::FailureMessage(f); }

class OptionsTest : public qb::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        qb::test::App();
        storeFile = Path("store.sqlite3");
        programDir = Path("prog/");
        std::filesystem::create_directories(programDir);
        library.reset();
        library = std::make_unique<ScopedEnv>("PANO12_LIBRARY", StandinLibrary("full").c_str());
        tmp.reset();
        tmp = std::make_unique<ScopedEnv>("TMP", "/tmp/from-TMP");
        temp.reset();
        temp = std::make_unique<ScopedEnv>("TEMP", "/tmp/from-TEMP");
        // No program of the machine's PATH (an installed Enblend) reaches the settings.
        path.reset();
        path = std::make_unique<ScopedEnv>("PATH", Path("nobin").c_str());
    }
    void TearDown() override {
        form.reset();
        TempDirTest::TearDown();
    }

    TfrmOptions& Create() {
        form.reset();
        TOptionsSetup setup;
        setup.storeFile = storeFile;
        setup.programDir = programDir;
        setup.buildTreeStitcher = Path("build/bin/Helpers/PTStitcher");
        setup.dialogs = std::make_unique<qb::test::FakeDialogs>(log);
        form = std::make_unique<TfrmOptions>(nullptr, std::move(setup));
        return *form;
    }
    void UseLibrary(const std::string& variant) {
        library.reset();
        library = std::make_unique<ScopedEnv>("PANO12_LIBRARY", StandinLibrary(variant).c_str());
    }

    void Put(const std::string& key, const std::string& name, const std::string& s) {
        TRegistry r(storeFile);
        ASSERT_TRUE(r.OpenKey(key, true));
        r.WriteString(name, s);
    }
    void Put(const std::string& key, const std::string& name, int32_t v) {
        TRegistry r(storeFile);
        ASSERT_TRUE(r.OpenKey(key, true));
        r.WriteInteger(name, v);
    }
    void PutOption(const std::string& name, const std::string& s) { Put(OptionsRegistryKey, name, s); }
    void PutOption(const std::string& name, int32_t v) { Put(OptionsRegistryKey, name, v); }
    TRegDataType Type(const std::string& name) {
        TRegistry r(storeFile);
        if (!r.OpenKeyReadOnly(OptionsRegistryKey)) return TRegDataType::rdUnknown;
        return r.GetDataType(name);
    }
    std::string Str(const std::string& name) {
        TRegistry r(storeFile);
        EXPECT_TRUE(r.OpenKeyReadOnly(OptionsRegistryKey));
        if (r.GetDataType(name) != TRegDataType::rdString) return "(not a string)";
        return r.ReadString(name);
    }
    int32_t Int(const std::string& name) {
        TRegistry r(storeFile);
        EXPECT_TRUE(r.OpenKeyReadOnly(OptionsRegistryKey));
        if (r.GetDataType(name) != TRegDataType::rdInteger) return -99999;
        return r.ReadInteger(name);
    }
    std::string MakeProgram(const std::string& path) {
        std::filesystem::create_directories(qb::platform::ExtractFilePath(path));
        qb::test::WriteFile(path, "#!/bin/sh\n");
        return path;
    }

    std::string storeFile, programDir;
    std::unique_ptr<ScopedEnv> library, tmp, temp, path;
    qb::test::FakeDialogsLog log;
    std::unique_ptr<TfrmOptions> form;
};

struct Row {
    const char* value;
    const char* control;
    bool integer;
    int32_t defaultInt;
    const char* defaultString;
    const char* human;
};

const Row kTable[] = {
    {"CPDoubleBuffered", "CPDoubleBufferedTrackbar", true, 1, "", "Quality/speed"},
    {"CPZoomerWidth", "CPZoomerWidthEdit", true, 31, "", "Magnification glass width"},
    {"CPZoomerHeight", "CPZoomerHeightEdit", true, 31, "", "Magnification glass height"},
    {"CPZoomerZoom", "CPZoomerZoomEdit", true, 3, "", "Magnification"},
    {"TempDir", "edTempDir", false, 0, "", "Temporary directory"},
    {"PTStitcherApp", "edPTStitcherApp", false, 0, "", "PTStitcher application"},
    {"PTViewerApp", "edPTViewerApp", false, 0, "", "Equirectangular viewer"},
    {"RectViewerApp", "edRectViewerApp", false, 0, "", "Rectilinear viewer"},
    {"CylViewerApp", "edCylViewerApp", false, 0, "", "Cylindrical viewer"},
    {"ShowHelpBar", "ShowHelpBarCheckBox", true, 1, "", "Show help bar"},
    {"ThumbnailsLowPriority", "ThumbnailPriorityComboBox", true, 0, "", "Thumbnail update priority"},
    {"LargeThumbnailWidth", "LargeThumbnailWidthEdit", true, 600, "", "Soucre image cache width"},
    {"LargeThumbnailHeight", "LargeThumbnailHeightEdit", true, 600, "", "Soucre image cache height"},
    {"AutoWizard", "AutoWizardCheckbox", true, 1, "", "Show Vorda Project Wizard at startup"},
    {"CheckPano12Dll", "CheckPano12CheckBox", true, 1, "", "Check for duplicate pano12.dll files on startup"},
    {"LensName0", "LensNameEdit0", false, 0, "Normal (rectilinear)", "Lens Name 0"},
    {"LensName1", "LensNameEdit1", false, 0, "Cylindrical", "Lens Name 1"},
    {"LensName2", "LensNameEdit2", false, 0, "Circular", "Lens Name 2"},
    {"LensName3", "LensNameEdit3", false, 0, "Full frame", "Lens Name 3"},
    {"LensName4", "LensNameEdit4", false, 0, "Equirectangular", "Lens Name 4"},
    {"LensName5", "LensNameEdit5", false, 0, "undefined (f5)", "Lens Name 5"},
    {"LensName6", "LensNameEdit6", false, 0, "undefined (f6)", "Lens Name 6"},
    {"LensName7", "LensNameEdit7", false, 0, "undefined (f7)", "Lens Name 7"},
    {"CropType0", "LensCropComboBox0", true, 0, "", "Crop format 0"},
    {"CropType1", "LensCropComboBox1", true, 0, "", "Crop format 1"},
    {"CropType2", "LensCropComboBox2", true, 1, "", "Crop format 2"},
    {"CropType3", "LensCropComboBox3", true, 0, "", "Crop format 3"},
    {"CropType4", "LensCropComboBox4", true, 0, "", "Crop format 4"},
    {"CropType5", "LensCropComboBox5", true, 0, "", "Crop format 5"},
    {"CropType6", "LensCropComboBox6", true, 0, "", "Crop format 6"},
    {"CropType7", "LensCropComboBox7", true, 0, "", "Crop format 7"},
    {"RememberCPScollBoxPos", "RememberCPScollBoxPosCheckBox", true, 1, "", "Remember scrollbar positions of each image"},
    {"TemplateDir", "edTemplateDir", false, 0, "", "Directory for templates"},
    {"ShowToolBar", "ShowToolBarCheckBox", true, 1, "", "Show Toolbar"},
    {"CPAutoBlockSize1", "PatternBlockSizeTrackBar", true, 12, "", "BlockSize"},
    {"CPAutoDeviation1", "PatternDeviationTrackBar", true, 40, "", "Deviation"},
    {"CPAutoThreshold1", "CPAutoThresholdTrackBar", true, 50, "", "Threshold"},
    {"AddImagePreview", "PreviewAddImageCheckbox", true, 1, "", "&Preview image in Add Image dialog box"},
    {"CPPartialOptimize1", "PatternPartialOptimizationCheckBox", true, 1, "", "Partial optimization"},
    {"ShowEXIF", "ShowExifCheckBox", true, 1, "", ""},
    {"ShowEXIFOnlyIfAvailable", "ShowEXIFOnlyIfAvailableCheckBox", true, 1, "", ""},
    {"CPWarnDelete", "WarnCPDeleteCheckBox", true, 1, "", ""},
    {"StitchBackgroundPriority", "StitcherPriorityComboBox", true, 0, "", "Stitcher priority"},
    {"AutoPanoDir", "AutoPanoDirectoryEdit", false, 0, "", ""},
    {"AutoPanoOptions", "AutoPanoOptionsEdit", false, 0, "", ""},
    {"CacheSourceImages", "CacheSourceImagesCheckBox", true, 1, "", "Cache uncompressed source images on disk"},
    {"EnblendDir", "EnblendDirectoryEdit", false, 0, "", ""},
    {"EnblendOptions", "EnblendOptionsEdit", false, 0, "--fine-mask", ""},
    {"AutoPanoOldVersion", "AutoPanoOldVersionCheckBox", true, 0, "", ""},
    {"CPZoomAutoContrastAmount", "CPZoomerAutoContrastTrackBar", true, 50, "", "Auto contrast"},
};

TEST_F(OptionsTest, FiftyLinksInTheTablesOrderAndControls) {
    TfrmOptions& f = Create();
    auto& links = f.MainRegistrySaver().ComponentLinks();
    ASSERT_EQ(links.Count(), 50);
    ASSERT_EQ(std::size(kTable), 50u);
    EXPECT_EQ(f.MainRegistrySaver().RegistryKey, "Software\\Kelmora\\vorda\\Options");
    for (int i = 0; i < 50; ++i) {
        const Row& row = kTable[i];
        const TzrLink& l = links[i];
        SCOPED_TRACE(row.value);
        EXPECT_EQ(l.RegistryValue, row.value);
        ASSERT_NE(l.Control(), nullptr);
        EXPECT_EQ(l.Control()->objectName().toStdString(), row.control);
        EXPECT_EQ(l.Control()->window(), &f);
        EXPECT_EQ(l.DataType, row.integer ? TzrRSCLTCITInt : TzrRSCLTCITAnsiString);
        if (row.integer)
            EXPECT_EQ(l.DefaultInt, row.defaultInt);
        else
            EXPECT_EQ(l.DefaultString, row.defaultString);
        EXPECT_EQ(l.HumanName, row.human);
    }
    // Lists and ranges of the controls.
    for (QComboBox* c : {f.ThumbnailPriorityComboBox, f.StitcherPriorityComboBox}) {
        ASSERT_EQ(c->count(), 2);
        EXPECT_EQ(c->itemText(0), "Normal");
        EXPECT_EQ(c->itemText(1), "Low");
    }
    for (int n = 0; n < 8; ++n) {
        ASSERT_EQ(f.LensCropComboBox(n)->count(), 2);
        EXPECT_EQ(f.LensCropComboBox(n)->itemText(0), "Rectangle");
        EXPECT_EQ(f.LensCropComboBox(n)->itemText(1), "Circle");
    }
    EXPECT_EQ(f.CPDoubleBufferedTrackbar->minimum(), 0);
    EXPECT_EQ(f.CPDoubleBufferedTrackbar->maximum(), 1);
    EXPECT_EQ(f.PatternBlockSizeTrackBar->maximum(), 100);
    EXPECT_EQ(f.PatternDeviationTrackBar->minimum(), 1);
    EXPECT_EQ(f.PatternDeviationTrackBar->maximum(), 300);
    EXPECT_EQ(f.CPAutoThresholdTrackBar->maximum(), 100);
    EXPECT_EQ(f.CPZoomerAutoContrastTrackBar->maximum(), 100);
    EXPECT_TRUE(f.findChild<QLabel*>(QString(), Qt::FindChildrenRecursively) != nullptr);
    bool fast = false, noFlicker = false;
    for (QLabel* l : f.findChildren<QLabel*>()) {
        fast |= l->text() == "fast";
        noFlicker |= l->text() == "no flicker";
    }
    EXPECT_TRUE(fast && noFlicker);
}

TEST_F(OptionsTest, FreshStoreReceivesEveryDefaultAndTheLibrarysLensTypes) {
    TfrmOptions& f = Create();
    for (const Row& row : kTable) {
        SCOPED_TRACE(row.value);
        const std::string v = row.value;
        if (v.rfind("LensName", 0) == 0 || v.rfind("CropType", 0) == 0 || v == "TempDir") continue;
        if (row.integer)
            EXPECT_EQ(Int(v), row.defaultInt);
        else
            EXPECT_EQ(Str(v), row.defaultString);
    }
    EXPECT_EQ(Str("TempDir"), "/tmp/from-TMP");
    // The full stand-in reports 3 lens types: type 1 circular, type 2 without a name.
    EXPECT_EQ(Str("LensName0"), "Normal (rectilinear)");
    EXPECT_EQ(Int("CropType0"), 0);
    EXPECT_EQ(Str("LensName1"), "Fisheye Circular");
    EXPECT_EQ(Int("CropType1"), 1);
    EXPECT_EQ(Str("LensName2"), "undefined (f2)");
    EXPECT_EQ(Int("CropType2"), 0);
    for (int n = 3; n < 8; ++n) {
        EXPECT_EQ(Str("LensName" + std::to_string(n)), "undefined (f" + std::to_string(n) + ")");
        EXPECT_EQ(Int("CropType" + std::to_string(n)), 0);
    }
    for (int n = 0; n < 8; ++n) {
        EXPECT_TRUE(f.LensNameEdit(n)->isReadOnly());
        EXPECT_FALSE(f.LensCropComboBox(n)->isEnabled());
    }
    EXPECT_EQ(f.LensTypesGroupBox->title(), "Lens types (as reported by your Panorama Tools version)");
    EXPECT_EQ(f.PanoCorrect1().Gamma, 1.0);
    EXPECT_EQ(f.PanoCorrect1().cMode, qb::ptUseProperties);
    EXPECT_EQ(f.PanoCorrect1().cRadialParams().green_d, 1.0);
}

TEST(LibraryText, ValidUtf8StaysAndOtherBytesAreLatin1) {
    struct Case {
        const char* bytes;
        const char16_t* shown;
    };
    const Case cases[] = {
        {"Copyright \xA9 1999 Helmut Dersch", u"Copyright \u00A9 1999 Helmut Dersch"},
        {"Copyright \xC2\xA9 1999", u"Copyright \u00A9 1999"},
        {"Fisheye Circular", u"Fisheye Circular"},
        {"Ende \xE4 und \xC3\xA4", u"Ende \u00E4 und \u00C3\u00A4"},  // one bad byte: all Latin-1
        {"", u""},
    };
    for (const Case& c : cases) EXPECT_EQ(qb::settings::LibraryText(c.bytes), QString::fromUtf16(c.shown)) << c.bytes;
}

TEST_F(OptionsTest, FeatureLinesAlignTheirValues) {
    TfrmOptions& f = Create();
    const auto& lines = f.FeatureLines();
    ASSERT_EQ(lines.size(), 12u);
    // The longest name is "CPErrorIsDistSphere" (19): every value starts in column 21.
    EXPECT_EQ(lines[0], "NumLensTypes:        3");
    EXPECT_EQ(lines[1], "LensType0:           Normal (rectilinear)");
    EXPECT_EQ(lines[3], "LensType2:           ");
    EXPECT_EQ(lines[10], "CPErrorIsDistSphere: 1");
    EXPECT_EQ(lines[8], "FastTransform01:     yes");
    EXPECT_NE(f.PanoToolsFeaturesMemo->toPlainText().indexOf("Fisheye Circular"), -1);

    // Three features: "NumLensTypes", "LensType0", "LensType1".
    UseLibrary("count3");
    TfrmOptions& g = Create();
    ASSERT_EQ(g.FeatureLines().size(), 3u);
    EXPECT_EQ(g.FeatureLines()[1], "LensType0:    Normal (rectilinear)");
}

TEST_F(OptionsTest, LibraryWithoutFeatureQueriesLeavesTheLensTableToTheUser) {
    UseLibrary("nocount");
    PutOption("LensName1", std::string("My fisheye"));
    PutOption("CropType1", 1);
    PutOption("CropType2", 0);
    TfrmOptions& f = Create();
    EXPECT_EQ(Str("LensName1"), "My fisheye");
    EXPECT_EQ(Int("CropType1"), 1);
    EXPECT_EQ(Int("CropType2"), 0);
    // Absent ones get the table's defaults.
    EXPECT_EQ(Str("LensName2"), "Circular");
    EXPECT_EQ(Str("LensName7"), "undefined (f7)");
    EXPECT_EQ(Int("CropType3"), 0);
    for (int n = 0; n < 8; ++n) {
        EXPECT_FALSE(f.LensNameEdit(n)->isReadOnly());
        EXPECT_TRUE(f.LensCropComboBox(n)->isEnabled());
    }
    EXPECT_EQ(f.LensTypesGroupBox->title(), "Lens types");
    ASSERT_EQ(f.FeatureLines().size(), 1u);
    EXPECT_EQ(f.FeatureLines()[0],
              "Feature information not supported.\r\nVisit https://panotools.sourceforge.net/ for an updated "
              "version of Panorama Tools");

    // No features at all: no lens types, an empty list.
    UseLibrary("count0");
    TfrmOptions& g = Create();
    EXPECT_TRUE(g.FeatureLines().empty());
    EXPECT_EQ(Str("LensName1"), "My fisheye");
    EXPECT_FALSE(g.LensNameEdit(0)->isReadOnly());
}

TEST_F(OptionsTest, ReportedLensTypesOverwriteTheUsersTable) {
    UseLibrary("count3");  // NumLensTypes 3; LensType0, LensType1 named, no masks, no LensType2
    for (int n = 0; n < 8; ++n) {
        PutOption("LensName" + std::to_string(n), "mine " + std::to_string(n));
        PutOption("CropType" + std::to_string(n), 1);
    }
    Create();
    EXPECT_EQ(Str("LensName0"), "Normal (rectilinear)");
    EXPECT_EQ(Str("LensName1"), "Fisheye Circular");
    EXPECT_EQ(Str("LensName2"), "undefined (f2)");
    for (int n = 0; n < 8; ++n) {
        EXPECT_EQ(Int("CropType" + std::to_string(n)), 0) << n;
        if (n >= 3) {
            EXPECT_EQ(Str("LensName" + std::to_string(n)), "undefined (f" + std::to_string(n) + ")");
        }
    }
}

TEST_F(OptionsTest, TemporaryDirectoryComesFromTmpThenTempThenThePlatform) {
    Create();
    EXPECT_EQ(Str("TempDir"), "/tmp/from-TMP");
    // An existing value is never replaced.
    tmp.reset();
    tmp = std::make_unique<ScopedEnv>("TMP", "/elsewhere");
    Create();
    EXPECT_EQ(Str("TempDir"), "/tmp/from-TMP");

    storeFile = Path("store2.sqlite3");
    tmp.reset();
    tmp = std::make_unique<ScopedEnv>("TMP", nullptr);
    Create();
    EXPECT_EQ(Str("TempDir"), "/tmp/from-TEMP");

    storeFile = Path("store3.sqlite3");
    temp.reset();
    temp = std::make_unique<ScopedEnv>("TEMP", nullptr);
    ScopedEnv tmpdir("TMPDIR", "/var/tmp");
    Create();
    EXPECT_EQ(Str("TempDir"), "/var/tmp/");
}

TEST_F(OptionsTest, DefaultViewerFillsOnlyEmptyViewerPaths) {
    // Without the suite's viewer the paths stay empty.
    Create();
    EXPECT_EQ(Str("CylViewerApp"), "");
    EXPECT_EQ(Str("RectViewerApp"), "");

    const std::string viewer = MakeProgram(programDir + "quiltbatch-viewer");
    PutOption("CylViewerApp", std::string("/opt/cylviewer"));
    Create();
    EXPECT_EQ(Str("CylViewerApp"), "/opt/cylviewer");
    EXPECT_EQ(Str("RectViewerApp"), viewer);
    EXPECT_EQ(Str("PTViewerApp"), "");

    storeFile = Path("store2.sqlite3");
    Create();
    EXPECT_EQ(Str("CylViewerApp"), viewer);
    EXPECT_EQ(Str("RectViewerApp"), viewer);
}

TEST_F(OptionsTest, WithoutAnEnblendDirectoryTheEnblendOnThePathIsTaken) {
    // The first enblend on the PATH that may be run; a file of that name that may not is
    // passed over.
    MakeProgram(Path("a/enblend"));  // not executable
    const std::string enblend = MakeProgram(Path("b/enblend"));
    std::filesystem::permissions(enblend, std::filesystem::perms::owner_all);
    path.reset();
    path = std::make_unique<ScopedEnv>("PATH", (Path("nobin") + ":" + Path("a") + ":" + Path("b")).c_str());
    Create();
    EXPECT_EQ(Str("EnblendDir"), Path("b"));
    // One that is set stays.
    PutOption("EnblendDir", std::string("/opt/enblend"));
    Create();
    EXPECT_EQ(Str("EnblendDir"), "/opt/enblend");
    // Without one on the PATH nothing is set.
    path.reset();
    path = std::make_unique<ScopedEnv>("PATH", Path("nobin").c_str());
    storeFile = Path("store2.sqlite3");
    Create();
    EXPECT_EQ(Str("EnblendDir"), "");
}

TEST_F(OptionsTest, DefaultStitcherFromPanoramaToolsThenBesideTheProgramThenTheBuildTree) {
    const std::string installDir = Path("pt");
    const std::string ptStitcher = MakeProgram(installDir + "/Helpers/PTStitcher");
    Put(PanoToolsRegistryKey, "InstallDir1", installDir);
    Create();
    EXPECT_EQ(Str("PTStitcherApp"), ptStitcher);

    // A configured stitcher is kept; the installation is not consulted.
    PutOption("PTStitcherApp", std::string("/my/stitcher"));
    Create();
    EXPECT_EQ(Str("PTStitcherApp"), "/my/stitcher");

    // The installation's directory without the stitcher: the one beside the program.
    std::filesystem::remove(ptStitcher);
    const std::string beside = MakeProgram(programDir + "Helpers/PTStitcher");
    storeFile = Path("store2.sqlite3");
    Put(PanoToolsRegistryKey, "InstallDir1", installDir);
    Create();
    EXPECT_EQ(Str("PTStitcherApp"), beside);

    // Then the build tree's.
    std::filesystem::remove(beside);
    const std::string built = MakeProgram(Path("build/bin/Helpers/PTStitcher"));
    storeFile = Path("store3.sqlite3");
    Put(PanoToolsRegistryKey, "InstallDir1", 7);  // of the wrong type: no directory
    Create();
    EXPECT_EQ(Str("PTStitcherApp"), built);

    // Nothing found: empty.
    std::filesystem::remove(built);
    storeFile = Path("store4.sqlite3");
    Create();
    EXPECT_EQ(Str("PTStitcherApp"), "");
}

TEST_F(OptionsTest, AutoPanoOldVersionOnlyForAnExistingAutoPanoDirectory) {
    PutOption("AutoPanoDir", std::string("/opt/autopano"));
    Create();
    EXPECT_EQ(Int("AutoPanoOldVersion"), 1);

    storeFile = Path("store2.sqlite3");
    PutOption("AutoPanoDir", std::string(""));
    Create();
    EXPECT_EQ(Int("AutoPanoOldVersion"), 0);

    storeFile = Path("store3.sqlite3");
    PutOption("AutoPanoDir", std::string("/opt/autopano"));
    PutOption("AutoPanoOldVersion", 0);
    Create();
    EXPECT_EQ(Int("AutoPanoOldVersion"), 0);
}

TEST_F(OptionsTest, ValuesOfTheWrongTypeAreReplaced) {
    PutOption("PTStitcherApp", 5);
    PutOption("CPZoomerWidth", std::string("40"));
    PutOption("AutoPanoDir", 3);
    Create();
    EXPECT_EQ(Type("PTStitcherApp"), TRegDataType::rdString);
    EXPECT_EQ(Str("PTStitcherApp"), "");
    EXPECT_EQ(Int("CPZoomerWidth"), 31);
    EXPECT_EQ(Int("AutoPanoOldVersion"), 0);
    EXPECT_EQ(Str("AutoPanoDir"), "");
}

TEST_F(OptionsTest, StoreOperations) {
    TfrmOptions& f = Create();
    EXPECT_EQ(f.ReadOptionString("Nothing"), "");
    f.WriteOptionString("X", "one");
    f.SeedOptionString("X", "two");
    EXPECT_EQ(f.ReadOptionString("x"), "one");
    f.SeedOptionInteger("X", 3);  // a value of any type counts
    EXPECT_EQ(Str("X"), "one");
    f.WriteOptionInteger("X", 4);
    EXPECT_EQ(Int("X"), 4);
    EXPECT_EQ(f.ReadOptionString("X"), "");
    f.SeedOptionInteger("Y", 9);
    EXPECT_EQ(Int("Y"), 9);
}

TEST_F(OptionsTest, LensNamesMustBePresentAndDistinct) {
    UseLibrary("nocount");
    TfrmOptions& f = Create();
    f.MainRegistrySaver().Registry2Control();
    f.show();
    f.ValidateLensNames();
    f.LensNameEdit(3)->setText("");
    EXPECT_EQ(Message([&] { f.ValidateLensNames(); }), "Please enter a name for lens type 3");
    EXPECT_EQ(f.MainPageControl->currentWidget(), f.PanoToolsTabSheet);
    EXPECT_EQ(f.focusWidget(), f.LensNameEdit(3));
    f.LensNameEdit(3)->setText("Full frame");
    f.LensNameEdit(6)->setText("Cylindrical");
    EXPECT_EQ(Message([&] { f.ValidateLensNames(); }), "Duplicate lens name: Cylindrical");
    EXPECT_EQ(f.focusWidget(), f.LensNameEdit(6));
    f.LensNameEdit(6)->setText("CYLINDRICAL");
    f.ValidateLensNames();
}

TEST_F(OptionsTest, OkChecksEverythingBeforeWritingAnything) {
    UseLibrary("nocount");
    TfrmOptions& f = Create();
    f.MainRegistrySaver().Registry2Control();
    f.show();
    f.EnblendOptionsEdit->setText("-v");
    f.CPZoomerWidthEdit->setText("12a");
    f.OKBtn->click();
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0], "Magnification glass width: '12a' is not a valid integer value");
    EXPECT_EQ(f.result(), QDialog::Rejected);
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(Str("EnblendOptions"), "--fine-mask");

    // Lens names are checked first.
    f.LensNameEdit(1)->setText("Normal (rectilinear)");
    EXPECT_EQ(Message([&] { f.AcceptOptions(); }), "Duplicate lens name: Normal (rectilinear)");

    f.LensNameEdit(1)->setText("Fisheye");
    f.CPZoomerWidthEdit->setText("45");
    f.ThumbnailPriorityComboBox->setCurrentIndex(1);
    f.LensCropComboBox(1)->setCurrentIndex(1);
    f.PatternDeviationTrackBar->setValue(300);
    f.ShowExifCheckBox->setChecked(false);
    f.OKBtn->click();
    EXPECT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(f.result(), QDialog::Accepted);
    EXPECT_EQ(Str("EnblendOptions"), "-v");
    EXPECT_EQ(Int("CPZoomerWidth"), 45);
    EXPECT_EQ(Int("ThumbnailsLowPriority"), 1);
    EXPECT_EQ(Str("LensName1"), "Fisheye");
    EXPECT_EQ(Int("CropType1"), 1);
    EXPECT_EQ(Int("CPAutoDeviation1"), 300);
    EXPECT_EQ(Int("ShowEXIF"), 0);
}

TEST_F(OptionsTest, PageChangeChecksOnlyThePageBeingLeft) {
    UseLibrary("nocount");
    TfrmOptions& f = Create();
    f.MainRegistrySaver().Registry2Control();
    f.show();
    f.LargeThumbnailWidthEdit->setText("wide");  // on the general page
    f.MainPageControl->setCurrentWidget(f.ControlPointsTabSheet);
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0], "Soucre image cache width: 'wide' is not a valid integer value");
    EXPECT_EQ(f.MainPageControl->currentWidget(), f.GeneralTabSheet);
    EXPECT_EQ(f.focusWidget(), f.LargeThumbnailWidthEdit);

    f.LargeThumbnailWidthEdit->setText("800");
    f.MainPageControl->setCurrentWidget(f.ControlPointsTabSheet);
    EXPECT_EQ(f.MainPageControl->currentWidget(), f.ControlPointsTabSheet);
    // A bad value elsewhere does not hold this page.
    f.LargeThumbnailWidthEdit->setText("wide");
    f.MainPageControl->setCurrentWidget(f.PanoToolsTabSheet);
    EXPECT_EQ(f.MainPageControl->currentWidget(), f.PanoToolsTabSheet);
    EXPECT_EQ(log.errors.size(), 1u);

    // Leaving the Panorama Tools page checks the lens names; leaving another does not.
    f.LensNameEdit(2)->setText("");
    f.MainPageControl->setCurrentWidget(f.ProgramsTabSheet);
    EXPECT_EQ(f.MainPageControl->currentWidget(), f.PanoToolsTabSheet);
    ASSERT_EQ(log.errors.size(), 2u);
    EXPECT_EQ(log.errors[1], "Please enter a name for lens type 2");
    f.LensNameEdit(2)->setText("Circular");
    f.MainPageControl->setCurrentWidget(f.ProgramsTabSheet);
    EXPECT_EQ(f.MainPageControl->currentWidget(), f.ProgramsTabSheet);
    f.LensNameEdit(2)->setText("");
    f.MainPageControl->setCurrentWidget(f.ControlPointsTabSheet);
    EXPECT_EQ(f.MainPageControl->currentWidget(), f.ControlPointsTabSheet);
    EXPECT_EQ(log.errors.size(), 2u);
}

TEST_F(OptionsTest, ProgramBrowseButtons) {
    TfrmOptions& f = Create();
    f.edPTStitcherApp->setText("");
    log.fileAnswers.push_back(std::string("/opt/pt/PTStitcher"));
    f.btnBrowsePTStitcherApp->click();
    EXPECT_EQ(f.edPTStitcherApp->text(), "/opt/pt/PTStitcher");
    ASSERT_EQ(log.fileRequests.size(), 1u);
    EXPECT_EQ(log.fileRequests[0].title, "Where is PTStitcher?");
    EXPECT_EQ(log.fileRequests[0].filter, "PTStitcher application (*)|*");
    EXPECT_EQ(log.fileRequests[0].initialName, "PTStitcher");

    // Cancel keeps the text; the current program is offered first.
    log.fileAnswers.push_back(std::nullopt);
    f.btnBrowsePTStitcherApp->click();
    EXPECT_EQ(log.fileRequests[1].initialName, "/opt/pt/PTStitcher");
    EXPECT_EQ(f.edPTStitcherApp->text(), "/opt/pt/PTStitcher");

    f.btnBrowsePTViewerAppClick();
    EXPECT_EQ(log.fileRequests[2].title, "Where is your panorama viewer?");
    EXPECT_EQ(log.fileRequests[2].filter, "Panorama viewer (*)|*");
    EXPECT_EQ(log.fileRequests[2].initialName, "PTViewer");
    f.edRectViewerApp->setText("/usr/bin/");
    f.btnBrowseRectViewerAppClick();
    EXPECT_EQ(log.fileRequests[3].initialName, "");
    log.fileAnswers.push_back(std::string("/usr/bin/cylview"));
    f.btnBrowseCylViewerAppClick();
    EXPECT_EQ(log.fileRequests[4].initialName, "");
    EXPECT_EQ(f.edCylViewerApp->text(), "/usr/bin/cylview");
    EXPECT_TRUE(log.errors.empty());
}

TEST_F(OptionsTest, DirectoryBrowseButtonsCheckForTheProgram) {
    TfrmOptions& f = Create();
    const std::string withEnblend = Path("enblend-dir");
    MakeProgram(withEnblend + "/enblend");
    f.EnblendDirectoryEdit->setText("/start/here");
    log.dirAnswers.push_back(withEnblend);
    f.EnblendDirectoryEdit->setFocus();
    f.EnblendDirectoryEditBrowseButton->click();
    ASSERT_EQ(log.dirRequests.size(), 1u);
    EXPECT_EQ(log.dirRequests[0].prompt, "Please select the directory of enblend:");
    EXPECT_EQ(log.dirRequests[0].directory, "/start/here");
    EXPECT_EQ(f.EnblendDirectoryEdit->text().toStdString(), withEnblend);
    EXPECT_TRUE(log.errors.empty());

    // A directory without the program: an error, and the edit keeps its text.
    log.dirAnswers.push_back(dir);
    f.AutoPanoDirectoryEdit->setText("/old");
    f.AutoPanoDirectoryEditBrowseButton->click();
    EXPECT_EQ(log.dirRequests[1].prompt, "Please select the directory of autopano:");
    ASSERT_EQ(log.errors.size(), 1u);
    EXPECT_EQ(log.errors[0], "File not found: " + dir + "autopano");
    EXPECT_EQ(f.AutoPanoDirectoryEdit->text(), "/old");
    log.dirAnswers.push_back(std::nullopt);
    f.AutoPanoDirectoryEditBrowseButtonClick();
    EXPECT_EQ(f.AutoPanoDirectoryEdit->text(), "/old");
    EXPECT_EQ(log.errors.size(), 1u);
}

TEST_F(OptionsTest, TrackBarLabelsExifAndHelp) {
    TfrmOptions& f = Create();
    f.MainRegistrySaver().Registry2Control();
    EXPECT_EQ(f.PatternBlockSizeLabel->text(), "25 pixels");
    EXPECT_EQ(f.PatternDeviationLabel->text(), "40 pixels");
    EXPECT_EQ(f.CPAutoThresholdLabel->text(), "50 %");
    f.PatternBlockSizeTrackBar->setValue(0);
    f.PatternDeviationTrackBar->setValue(300);
    f.CPAutoThresholdTrackBar->setValue(100);
    EXPECT_EQ(f.PatternBlockSizeLabel->text(), "1 pixels");
    EXPECT_EQ(f.PatternDeviationLabel->text(), "300 pixels");
    EXPECT_EQ(f.CPAutoThresholdLabel->text(), "100 %");

    EXPECT_TRUE(f.ShowEXIFOnlyIfAvailableCheckBox->isEnabled());
    f.ShowExifCheckBox->click();
    EXPECT_FALSE(f.ShowEXIFOnlyIfAvailableCheckBox->isEnabled());
    f.ShowExifCheckBox->click();
    EXPECT_TRUE(f.ShowEXIFOnlyIfAvailableCheckBox->isEnabled());

    f.HelpBtn->click();
    EXPECT_EQ(log.helpContexts, std::vector<int>{3000});
    f.show();
    f.CancelBtn->click();
    EXPECT_EQ(f.result(), QDialog::Rejected);
    EXPECT_FALSE(f.isVisible());
}

TEST_F(OptionsTest, MissingLibraryStopsTheForm) {
    library.reset();
    library = std::make_unique<ScopedEnv>("PANO12_LIBRARY", Path("no-such-library.so").c_str());
    EXPECT_EQ(Message([&] { Create(); }),
              "Could not load libpano12.so (tried " + Path("no-such-library.so") +
                  ").\n\nProbably Panorama Tools is not installed (correctly). Please go to "
                  "https://panotools.sourceforge.net/ and install Panorama Tools.");
    EXPECT_EQ(Type("TempDir"), TRegDataType::rdUnknown);
}

TEST_F(OptionsTest, UnusableStoreStopsTheFormWithTheFilesName) {
    qb::test::WriteFile(storeFile, std::string(4096, 'x'));
    const std::string message = Message([&] { Create(); });
    EXPECT_NE(message.find(storeFile), std::string::npos) << message;
}

}  // namespace
}  // namespace qb::settings
