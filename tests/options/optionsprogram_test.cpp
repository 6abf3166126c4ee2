// quiltbatch-options: the command line (--list, --get, --set) run as a program against a
// store file of each test's own, its form mode offscreen, and the form run in-process as
// the program runs it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/registry.h"
#include "settings/options.h"
#include "tests/settings/fakedialogs.h"
#include "tests/support/qtapp.h"
#include "tests/support/tempdir.h"
#include "tools/options/optionstool.h"

namespace qb::options {
namespace {

using qb::platform::TRegDataType;
using qb::platform::TRegistry;
using qb::settings::OptionsRegistryKey;

const char* const kProgram = QB_BINARY_DIR "/bin/quiltbatch-options";

struct ProgramRun {
    int exitCode = -1;
    std::string out, err;
};

class OptionsProgramTest : public qb::test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        qb::test::App();
        storeFile = Path("store.sqlite3");
        library = qb::test::StandinLibrary("full");
        // Qt's font library keeps a few blocks to the end of the process.
        qb::test::WriteFile(Path("lsan.supp"), "leak:libfontconfig.so\n");
    }

    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KELMORA_REGISTRY", QString::fromStdString(storeFile));
        if (library.empty())
            env.remove("PANO12_LIBRARY");
        else
            env.insert("PANO12_LIBRARY", QString::fromStdString(library));
        env.insert("TMP", "/tmp/options-test");
        env.insert("LSAN_OPTIONS", QString::fromStdString("suppressions=" + Path("lsan.supp")));
        env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir));
        return env;
    }

    ProgramRun Start(const QStringList& args) {
        QProcess p;
        p.setProcessEnvironment(Environment());
        p.start(kProgram, args);
        ProgramRun r;
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "quiltbatch-options did not finish";
            return r;
        }
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput().toStdString();
        r.err = p.readAllStandardError().toStdString();
        return r;
    }

    std::string Str(const std::string& name) {
        TRegistry r(storeFile);
        if (!r.OpenKeyReadOnly(OptionsRegistryKey) || r.GetDataType(name) != TRegDataType::rdString)
            return "(no string)";
        return r.ReadString(name);
    }
    int32_t Int(const std::string& name) {
        TRegistry r(storeFile);
        if (!r.OpenKeyReadOnly(OptionsRegistryKey) || r.GetDataType(name) != TRegDataType::rdInteger) return -99999;
        return r.ReadInteger(name);
    }

    std::string storeFile, library;
};

int CountLines(const std::string& s) {
    return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

TEST_F(OptionsProgramTest, ListGetAndSetThroughTheLinks) {
    ProgramRun list = Start({"--list"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(CountLines(list.out), 50);
    EXPECT_EQ(list.out.rfind("CPDoubleBuffered=1\nCPZoomerWidth=31\n", 0), 0u);
    EXPECT_NE(list.out.find("\nTempDir=/tmp/options-test\n"), std::string::npos);
    EXPECT_NE(list.out.find("\nLensName1=Fisheye Circular\n"), std::string::npos);
    EXPECT_NE(list.out.find("\nCPZoomAutoContrastAmount=50\n"), std::string::npos);

    ProgramRun get = Start({"--get", "cpzoomerwidth"});
    EXPECT_EQ(get.exitCode, 0) << get.err;
    EXPECT_EQ(get.out, "31\n");

    ProgramRun set = Start({"--set", "CPZoomerWidth=64"});
    EXPECT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(Int("CPZoomerWidth"), 64);
    set = Start({"--set", "enblendoptions=-w --gpu=a=b"});
    EXPECT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(Str("EnblendOptions"), "-w --gpu=a=b");
    EXPECT_EQ(Int("CPZoomerWidth"), 64);
    set = Start({"--set", "StitchBackgroundPriority=1"});
    EXPECT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(Int("StitchBackgroundPriority"), 1);
}

TEST_F(OptionsProgramTest, BadValuesFailWithTheLinksMessagesAndWriteNothing) {
    struct Case {
        const char* assignment;
        const char* message;
    } cases[] = {
        {"CPZoomerWidth=12a", "quiltbatch-options: CPZoomerWidth: '12a' is not a valid integer value\n"},
        {"ShowEXIF=2", "quiltbatch-options: ShowEXIF: Value for field ShowEXIF should not be greater than 1\n"},
        {"CPAutoDeviation1=0",
         "quiltbatch-options: CPAutoDeviation1: Value for field Deviation should not be less than 1\n"},
        {"ThumbnailsLowPriority=-1",
         "quiltbatch-options: ThumbnailsLowPriority: Value for field Thumbnail update priority should not be "
         "less than 0\n"},
        {"Nope=1", "quiltbatch-options: Unknown setting: Nope (--list shows the settings)\n"},
        {"LensName3=Mine",
         "quiltbatch-options: LensName3: the lens types are reported by your Panorama Tools version and "
         "cannot be changed here\n"},
        {"CPZoomerWidth", "quiltbatch-options: Expected NAME=VALUE, not 'CPZoomerWidth'\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.assignment);
        ProgramRun r = Start({"--set", c.assignment});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(Int("CPZoomerWidth"), 31);
    EXPECT_EQ(Int("ShowEXIF"), 1);
    EXPECT_EQ(Int("ThumbnailsLowPriority"), 0);
    EXPECT_EQ(Str("LensName3"), "undefined (f3)");

    ProgramRun usage = Start({"--get"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_NE(usage.err.find("usage: quiltbatch-options"), std::string::npos);
    EXPECT_EQ(Start({"--frobnicate"}).exitCode, 2);
}

TEST_F(OptionsProgramTest, UserLensTableFollowsTheFormsRules) {
    library = qb::test::StandinLibrary("nocount");
    ProgramRun dup = Start({"--set", "LensName3=Cylindrical"});
    EXPECT_EQ(dup.exitCode, 1);
    EXPECT_NE(dup.err.find("LensName3: Duplicate lens name: Cylindrical\n"), std::string::npos) << dup.err;
    ProgramRun empty = Start({"--set", "LensName0="});
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_NE(empty.err.find("LensName0: Please enter a name for lens type 0\n"), std::string::npos) << empty.err;
    EXPECT_EQ(Start({"--set", "LensName3=Fisheye"}).exitCode, 0);
    EXPECT_EQ(Start({"--set", "CropType3=1"}).exitCode, 0);
    EXPECT_EQ(Str("LensName3"), "Fisheye");
    EXPECT_EQ(Int("CropType3"), 1);
    EXPECT_EQ(Str("LensName0"), "Normal (rectilinear)");
}

TEST_F(OptionsProgramTest, RealLibraryBesideTheProgramReportsItsLensTypes) {
    library.clear();  // libpano12.so beside the program, over libpano13
    ProgramRun r = Start({"--get", "LensName2"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Circular"), std::string::npos);
    EXPECT_NE(r.out, "Circular\n");  // the library's name, not the table's default
    EXPECT_EQ(Int("CropType2"), 1);
}

TEST_F(OptionsProgramTest, FormModeShowsTheFormOffscreen) {
    QProcess p;
    QProcessEnvironment env = Environment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    p.setProcessEnvironment(env);
    p.start(kProgram, {});
    ASSERT_TRUE(p.waitForStarted(20000));
    // The store is seeded before the form is shown; the program then waits for the user.
    bool seeded = false;
    for (int i = 0; i < 600 && !seeded; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        seeded = Int("CPZoomAutoContrastAmount") == 50;
    }
    EXPECT_TRUE(seeded);
    EXPECT_FALSE(p.waitForFinished(1500)) << p.readAllStandardError().toStdString();
    p.kill();
    p.waitForFinished();
}

TEST_F(OptionsProgramTest, FormWritesOnOkAndNothingOnCancel) {
    qb::test::ScopedEnv lib("PANO12_LIBRARY", library.c_str());
    qb::test::FakeDialogsLog log;
    auto run = [&](const std::function<void(qb::settings::TfrmOptions&)>& user) {
        qb::settings::TOptionsSetup setup;
        setup.storeFile = storeFile;
        setup.programDir = dir;
        setup.dialogs = std::make_unique<qb::test::FakeDialogs>(log);
        bool acted = false;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] {
            auto* form = qobject_cast<qb::settings::TfrmOptions*>(QApplication::activeModalWidget());
            if (!form || acted) return;
            acted = true;
            user(*form);
        });
        timer.start(20);
        std::vector<std::string> errors;
        const int rc = RunOptionsForm(std::move(setup), [&](const std::string& m) { errors.push_back(m); });
        EXPECT_TRUE(acted);
        EXPECT_TRUE(errors.empty());
        return rc;
    };
    // The form shows the stored values.
    TRegistry seed(storeFile);
    ASSERT_TRUE(seed.OpenKey(OptionsRegistryKey, true));
    seed.WriteString("EnblendDir", "/opt/enblend");
    seed.CloseKey();
    EXPECT_EQ(run([](qb::settings::TfrmOptions& f) {
                  EXPECT_EQ(f.EnblendDirectoryEdit->text(), "/opt/enblend");
                  f.CPZoomerZoomEdit->setText("5");
                  f.OKBtn->click();
              }),
              0);
    EXPECT_EQ(Int("CPZoomerZoom"), 5);
    EXPECT_EQ(Str("EnblendDir"), "/opt/enblend");
    // A failing check keeps the form open; Cancel then leaves the store alone.
    EXPECT_EQ(run([&](qb::settings::TfrmOptions& f) {
                  f.CPZoomerZoomEdit->setText("7x");
                  f.OKBtn->click();
                  EXPECT_TRUE(f.isVisible());
                  f.CPZoomerZoomEdit->setText("7");
                  f.CancelBtn->click();
              }),
              0);
    EXPECT_EQ(Int("CPZoomerZoom"), 5);
    EXPECT_EQ(log.errors, std::vector<std::string>{"Magnification: '7x' is not a valid integer value"});

    // A library that cannot be loaded: the message, and no form.
    qb::test::ScopedEnv missing("PANO12_LIBRARY", Path("none.so").c_str());
    std::vector<std::string> errors;
    EXPECT_EQ(RunOptionsForm({}, [&](const std::string& m) { errors.push_back(m); }), 1);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Could not load libpano12.so (tried ", 0), 0u);
}

}  // namespace
}  // namespace qb::options
