// TfrmOptions: the options form that owns the shared settings key
// "Software\Kelmora\vorda\Options". Creating it seeds every absent value with its default
// (some worked out from the environment, the Panorama Tools key and the file system) and
// refreshes the lens-type table from the Panorama Tools library. Its 50 controls are linked
// to the values through MainRegistrySaver, so the same store can be edited in the form.
#pragma once

#include <QString>

#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "settings/zrregistrysaver.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QTabWidget;
class QWidget;

namespace qb {
class TPanoCorrect;
}
namespace qb::platform {
class TRegistry;
}

namespace qb::settings {

// The shared settings key and the key of the Panorama Tools installation.
inline constexpr const char* OptionsRegistryKey = "Software\\Kelmora\\vorda\\Options";
inline constexpr const char* PanoToolsRegistryKey = "Software\\Panorama Tools";
// The suite's image viewer, looked for beside the program as the default viewer.
inline constexpr const char* SuiteViewerName = "quiltbatch-viewer";

// A text of the Panorama Tools library for display: UTF-8 when it is valid UTF-8, else
// Latin-1 (the library's own encoding, "Copyright \xA9 1999").
QString LibraryText(const std::string& text);
// The stitcher front, below the program's directory and below the Panorama Tools directory.
inline constexpr const char* HelpersPTStitcher = "Helpers/PTStitcher";
// The form's help context.
inline constexpr int OptionsHelpContext = 3000;

// What the form asks of the user and shows to the user. The program uses Qt's dialogs;
// tests answer the questions and see every message.
class IOptionsDialogs {
public:
    virtual ~IOptionsDialogs() = default;
    // An error box (error type, OK) with a failure's message.
    virtual void ShowError(const std::string& message) = 0;
    // An open-file dialog for an existing file; true with the chosen name.
    // `filter` is in the "Description (*.ext)|*.ext" form.
    virtual bool OpenFile(const std::string& title, const std::string& filter, const std::string& defaultExt,
                          const std::string& initialName, std::string& fileName) = 0;
    // A directory chooser opening on `directory`; true with the chosen directory.
    virtual bool SelectDirectory(const std::string& prompt, std::string& directory) = 0;
    // Help on a help context of the manual.
    virtual void ShowHelp(int context) = 0;
};

// The Qt dialogs, and the manual (docs/index.html beside the program) in the desktop's browser.
class TQtOptionsDialogs : public IOptionsDialogs {
public:
    explicit TQtOptionsDialogs(QWidget* parent) : parent_(parent) {}
    void ShowError(const std::string& message) override;
    bool OpenFile(const std::string& title, const std::string& filter, const std::string& defaultExt,
                  const std::string& initialName, std::string& fileName) override;
    bool SelectDirectory(const std::string& prompt, std::string& directory) override;
    void ShowHelp(int context) override;

private:
    QWidget* parent_;
};

// Where the form's defaults come from; empty fields take the running program's values.
struct TOptionsSetup {
    std::string storeFile;          // the registry store (empty: the shared one)
    std::string programDir;         // directory of the program, with trailing '/'
    std::string buildTreeStitcher;  // the stitcher front in the build tree (empty: the built-in one)
    std::unique_ptr<IOptionsDialogs> dialogs;  // none: TQtOptionsDialogs
};

class TfrmOptions : public QDialog {
    Q_OBJECT
public:
    // Builds the form and runs the seeding sequence. Fails when the Panorama Tools library
    // cannot be loaded or the store cannot be used.
    explicit TfrmOptions(QWidget* parent = nullptr, TOptionsSetup setup = {});
    ~TfrmOptions() override;

    // The store's own access, each opening and closing the key.
    std::string ReadOptionString(const std::string& name);
    void WriteOptionString(const std::string& name, const std::string& value);
    void WriteOptionInteger(const std::string& name, int32_t value);
    void SeedOptionString(const std::string& name, const std::string& value);
    void SeedOptionInteger(const std::string& name, int32_t value);

    void ImportLensTypes();
    void ListLibraryFeatures(std::vector<std::string>& lines);
    void UpdateLensTypeControls();
    void ValidateLensNames();
    // Checks and writes every value, then closes the form with OK. Fails (leaving the form
    // open) with the first failure's message.
    void AcceptOptions();

    // Event handlers. Those that fail show the message through the dialogs interface.
    void OKBtnClick();
    void HelpButtonClick();
    void MainPageControlChanging(bool& allowChange);
    void btnBrowsePTStitcherAppClick();
    void btnBrowsePTViewerAppClick();
    void btnBrowseRectViewerAppClick();
    void btnBrowseCylViewerAppClick();
    void AutoPanoDirectoryEditBrowseButtonClick();
    void EnblendDirectoryEditBrowseButtonClick();
    void PatternBlockSizeTrackBarChange();
    void PatternDeviationTrackBarChange();
    void CPAutoThresholdTrackBarChange();
    void ShowExifCheckBoxClick();

    TzrRegistrySaver& MainRegistrySaver() { return *MainRegistrySaver_; }
    qb::TPanoCorrect& PanoCorrect1() { return *PanoCorrect1_; }
    IOptionsDialogs& Dialogs() { return *dialogs_; }
    // The lines shown in PanoToolsFeaturesMemo.
    const std::vector<std::string>& FeatureLines() const { return featureLines_; }
    QLineEdit* LensNameEdit(int n) const { return LensNameEdits_[static_cast<size_t>(n)]; }
    QComboBox* LensCropComboBox(int n) const { return LensCropComboBoxes_[static_cast<size_t>(n)]; }

    // The form's controls.
    QTabWidget* MainPageControl = nullptr;
    QWidget* GeneralTabSheet = nullptr;
    QWidget* ControlPointsTabSheet = nullptr;
    QWidget* ProgramsTabSheet = nullptr;
    QWidget* PanoToolsTabSheet = nullptr;

    QSlider* CPDoubleBufferedTrackbar = nullptr;
    QLineEdit* CPZoomerWidthEdit = nullptr;
    QLineEdit* CPZoomerHeightEdit = nullptr;
    QLineEdit* CPZoomerZoomEdit = nullptr;
    QLineEdit* edTempDir = nullptr;
    QLineEdit* edPTStitcherApp = nullptr;
    QLineEdit* edPTViewerApp = nullptr;
    QLineEdit* edRectViewerApp = nullptr;
    QLineEdit* edCylViewerApp = nullptr;
    QCheckBox* ShowHelpBarCheckBox = nullptr;
    QComboBox* ThumbnailPriorityComboBox = nullptr;
    QLineEdit* LargeThumbnailWidthEdit = nullptr;
    QLineEdit* LargeThumbnailHeightEdit = nullptr;
    QCheckBox* AutoWizardCheckbox = nullptr;
    QCheckBox* CheckPano12CheckBox = nullptr;
    QCheckBox* RememberCPScollBoxPosCheckBox = nullptr;
    QLineEdit* edTemplateDir = nullptr;
    QCheckBox* ShowToolBarCheckBox = nullptr;
    QSlider* PatternBlockSizeTrackBar = nullptr;
    QSlider* PatternDeviationTrackBar = nullptr;
    QSlider* CPAutoThresholdTrackBar = nullptr;
    QCheckBox* PreviewAddImageCheckbox = nullptr;
    QCheckBox* PatternPartialOptimizationCheckBox = nullptr;
    QCheckBox* ShowExifCheckBox = nullptr;
    QCheckBox* ShowEXIFOnlyIfAvailableCheckBox = nullptr;
    QCheckBox* WarnCPDeleteCheckBox = nullptr;
    QComboBox* StitcherPriorityComboBox = nullptr;
    QLineEdit* AutoPanoDirectoryEdit = nullptr;
    QLineEdit* AutoPanoOptionsEdit = nullptr;
    QCheckBox* CacheSourceImagesCheckBox = nullptr;
    QLineEdit* EnblendDirectoryEdit = nullptr;
    QLineEdit* EnblendOptionsEdit = nullptr;
    QCheckBox* AutoPanoOldVersionCheckBox = nullptr;
    QSlider* CPZoomerAutoContrastTrackBar = nullptr;

    QLabel* PatternBlockSizeLabel = nullptr;
    QLabel* PatternDeviationLabel = nullptr;
    QLabel* CPAutoThresholdLabel = nullptr;
    QGroupBox* LensTypesGroupBox = nullptr;
    QPlainTextEdit* PanoToolsFeaturesMemo = nullptr;

    QPushButton* btnBrowsePTStitcherApp = nullptr;
    QPushButton* btnBrowsePTViewerApp = nullptr;
    QPushButton* btnBrowseRectViewerApp = nullptr;
    QPushButton* btnBrowseCylViewerApp = nullptr;
    QPushButton* AutoPanoDirectoryEditBrowseButton = nullptr;
    QPushButton* EnblendDirectoryEditBrowseButton = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPushButton* HelpBtn = nullptr;

private:
    void BuildControls();
    void BuildLinks();
    void Seed();
    void SeedStore();
    template <class F>
    void WithOptionsKey(F&& body);
    // Runs an event handler, showing its failure (the silent abort shows nothing).
    template <class F>
    void Guarded(F&& handler);
    void BrowseProgram(QLineEdit* edit, const std::string& title, const std::string& filter,
                       const std::string& defaultName);
    void BrowseDirectory(QLineEdit* edit, const std::string& prompt, const std::string& program);
    void CurrentPageChanged(int index);
    std::string DefaultTempDir() const;
    std::string DefaultStitcher();

    TOptionsSetup setup_;
    std::unique_ptr<IOptionsDialogs> dialogs_;
    std::unique_ptr<qb::platform::TRegistry> store_;
    std::unique_ptr<TzrRegistrySaver> MainRegistrySaver_;
    std::unique_ptr<qb::TPanoCorrect> PanoCorrect1_;
    std::vector<QLineEdit*> LensNameEdits_;
    std::vector<QComboBox*> LensCropComboBoxes_;
    std::vector<std::string> featureLines_;
    int shownPage_ = 0;
    bool switchingPage_ = false;
};

}  // namespace qb::settings
