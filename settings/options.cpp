#include "settings/options.h"

#include "settings/browser.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QStringDecoder>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "core/numbertext.h"
#include "panotools/panocorrect.h"
#include "platform/files.h"
#include "platform/registry.h"

#ifndef QB_BUILD_TREE_PTSTITCHER
#define QB_BUILD_TREE_PTSTITCHER ""
#endif

namespace qb::settings {

QString LibraryText(const std::string& text) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    if (utf8.hasError()) decoded = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    return decoded;
}

using qb::platform::TRegDataType;
using qb::platform::TRegistry;

namespace {

QString ToQ(const std::string& s) { return QString::fromStdString(s); }

// "Description (*.ext)|*.ext|..." as Qt's "Description (*.ext);;..." filter.
QString QtFilter(const std::string& filter) {
    QStringList parts = ToQ(filter).split('|');
    QStringList result;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(';', ' ');
        if (!description.contains('(')) description += " (" + patterns + ")";
        result << description;
    }
    return result.join(";;");
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    if (text.size() < tail.size()) return false;
    return std::equal(tail.begin(), tail.end(), text.end() - static_cast<std::ptrdiff_t>(tail.size()),
                      [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
}

std::string EnvValue(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Qt's dialogs

void TQtOptionsDialogs::ShowError(const std::string& message) {
    QMessageBox::critical(parent_, QString(), ToQ(message), QMessageBox::Ok);
}

bool TQtOptionsDialogs::OpenFile(const std::string& title, const std::string& filter,
                                 const std::string& defaultExt, const std::string& initialName,
                                 std::string& fileName) {
    QFileDialog dialog(parent_, ToQ(title));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QtFilter(filter));
    if (!defaultExt.empty()) dialog.setDefaultSuffix(ToQ(defaultExt));
    if (!initialName.empty()) {
        const std::string dir = qb::platform::ExtractFilePath(initialName);
        if (!dir.empty()) dialog.setDirectory(ToQ(dir));
        dialog.selectFile(ToQ(qb::platform::ExtractFileName(initialName)));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    fileName = dialog.selectedFiles().first().toStdString();
    return true;
}

bool TQtOptionsDialogs::SelectDirectory(const std::string& prompt, std::string& directory) {
    const QString chosen = QFileDialog::getExistingDirectory(parent_, ToQ(prompt), ToQ(directory));
    if (chosen.isEmpty()) return false;
    directory = chosen.toStdString();
    return true;
}

void TQtOptionsDialogs::ShowHelp(int context) {
    const std::string manual =
        qb::platform::ExtractFilePath(qb::platform::ApplicationExeName()) + "docs/index.html";
    if (!qb::platform::FileExists(manual))
        throw qb::Exception("You don't have HTML Help installed on your system. Please re-install a new "
                            "version of Vorda.");
    QUrl url = QUrl::fromLocalFile(ToQ(manual));
    url.setFragment("context-" + QString::number(context));
    if (!OpenInBrowser(url.toEncoded().toStdString()))
        throw qb::Exception("You don't have HTML Help installed on your system. Please re-install a new "
                            "version of Vorda.\n\nManual: " +
                            manual);
}

// ---------------------------------------------------------------------------------------
// The form

TfrmOptions::TfrmOptions(QWidget* parent, TOptionsSetup setup) : QDialog(parent), setup_(std::move(setup)) {
    setObjectName("frmOptions");
    setWindowTitle("Options");
    if (setup_.programDir.empty())
        setup_.programDir = qb::platform::ExtractFilePath(qb::platform::ApplicationExeName());
    if (setup_.buildTreeStitcher.empty()) setup_.buildTreeStitcher = QB_BUILD_TREE_PTSTITCHER;
    dialogs_ = setup_.dialogs ? std::move(setup_.dialogs) : std::make_unique<TQtOptionsDialogs>(this);

    // 1. The form, its components and the store's accessor.
    BuildControls();
    auto saverRegistry = setup_.storeFile.empty() ? std::make_unique<TRegistry>()
                                                  : std::make_unique<TRegistry>(setup_.storeFile);
    MainRegistrySaver_ = std::make_unique<TzrRegistrySaver>(std::move(saverRegistry));
    MainRegistrySaver_->RegistryKey = OptionsRegistryKey;
    BuildLinks();
    PanoCorrect1_ = std::make_unique<qb::TPanoCorrect>();
    // The component's own defaults are the published values of the form (radial d = 1,
    // gamma 1, use the properties).
    store_ = setup_.storeFile.empty() ? std::make_unique<TRegistry>()
                                      : std::make_unique<TRegistry>(setup_.storeFile);
    Seed();
}

TfrmOptions::~TfrmOptions() = default;

void TfrmOptions::BuildControls() {
    auto* main = new QVBoxLayout(this);
    MainPageControl = new QTabWidget(this);
    MainPageControl->setObjectName("MainPageControl");
    main->addWidget(MainPageControl);

    auto lineEdit = [](QWidget* parent, const char* name) {
        auto* e = new QLineEdit(parent);
        e->setObjectName(name);
        return e;
    };
    auto checkBox = [](QWidget* parent, const char* name, const char* caption) {
        auto* c = new QCheckBox(caption, parent);
        c->setObjectName(name);
        return c;
    };
    auto comboBox = [](QWidget* parent, const char* name, const QStringList& items) {
        auto* c = new QComboBox(parent);
        c->setObjectName(name);
        c->addItems(items);
        return c;
    };
    auto trackBar = [](QWidget* parent, const char* name, int min, int max) {
        auto* t = new QSlider(Qt::Horizontal, parent);
        t->setObjectName(name);
        t->setRange(min, max);
        return t;
    };
    auto button = [](QWidget* parent, const char* name, const char* caption) {
        auto* b = new QPushButton(caption, parent);
        b->setObjectName(name);
        b->setAutoDefault(false);
        return b;
    };
    auto withButton = [](QWidget* parent, QWidget* field, QPushButton* b) {
        auto* row = new QWidget(parent);
        auto* h = new QHBoxLayout(row);
        h->setContentsMargins(0, 0, 0, 0);
        h->addWidget(field, 1);
        h->addWidget(b);
        return row;
    };

    // General.
    GeneralTabSheet = new QWidget;
    GeneralTabSheet->setObjectName("GeneralTabSheet");
    {
        auto* form = new QFormLayout(GeneralTabSheet);
        ShowHelpBarCheckBox = checkBox(GeneralTabSheet, "ShowHelpBarCheckBox", "Show help bar");
        ShowToolBarCheckBox = checkBox(GeneralTabSheet, "ShowToolBarCheckBox", "Show Toolbar");
        AutoWizardCheckbox =
            checkBox(GeneralTabSheet, "AutoWizardCheckbox", "Show Vorda Project Wizard at startup");
        CheckPano12CheckBox = checkBox(GeneralTabSheet, "CheckPano12CheckBox",
                                       "Check for duplicate pano12.dll files on startup");
        PreviewAddImageCheckbox = checkBox(GeneralTabSheet, "PreviewAddImageCheckbox",
                                           "&Preview image in Add Image dialog box");
        ShowExifCheckBox = checkBox(GeneralTabSheet, "ShowExifCheckBox", "Show EXIF information");
        ShowEXIFOnlyIfAvailableCheckBox =
            checkBox(GeneralTabSheet, "ShowEXIFOnlyIfAvailableCheckBox", "Only when available");
        CacheSourceImagesCheckBox = checkBox(GeneralTabSheet, "CacheSourceImagesCheckBox",
                                             "Cache uncompressed source images on disk");
        ThumbnailPriorityComboBox = comboBox(GeneralTabSheet, "ThumbnailPriorityComboBox", {"Normal", "Low"});
        LargeThumbnailWidthEdit = lineEdit(GeneralTabSheet, "LargeThumbnailWidthEdit");
        LargeThumbnailHeightEdit = lineEdit(GeneralTabSheet, "LargeThumbnailHeightEdit");
        edTempDir = lineEdit(GeneralTabSheet, "edTempDir");
        edTemplateDir = lineEdit(GeneralTabSheet, "edTemplateDir");
        form->addRow(ShowHelpBarCheckBox);
        form->addRow(ShowToolBarCheckBox);
        form->addRow(AutoWizardCheckbox);
        form->addRow(CheckPano12CheckBox);
        form->addRow(PreviewAddImageCheckbox);
        form->addRow(ShowExifCheckBox);
        form->addRow(ShowEXIFOnlyIfAvailableCheckBox);
        form->addRow(CacheSourceImagesCheckBox);
        form->addRow("Thumbnail update priority:", ThumbnailPriorityComboBox);
        form->addRow("Soucre image cache width:", LargeThumbnailWidthEdit);
        form->addRow("Soucre image cache height:", LargeThumbnailHeightEdit);
        form->addRow("Temporary directory:", edTempDir);
        form->addRow("Directory for templates:", edTemplateDir);
    }
    MainPageControl->addTab(GeneralTabSheet, "General");

    // Control points.
    ControlPointsTabSheet = new QWidget;
    ControlPointsTabSheet->setObjectName("ControlPointsTabSheet");
    {
        QWidget* page = ControlPointsTabSheet;
        auto* form = new QFormLayout(page);
        CPDoubleBufferedTrackbar = trackBar(page, "CPDoubleBufferedTrackbar", 0, 1);
        auto* quality = new QWidget(page);
        auto* qh = new QHBoxLayout(quality);
        qh->setContentsMargins(0, 0, 0, 0);
        qh->addWidget(new QLabel("fast", quality));
        qh->addWidget(CPDoubleBufferedTrackbar, 1);
        qh->addWidget(new QLabel("no flicker", quality));
        form->addRow("Quality/speed:", quality);
        CPZoomerWidthEdit = lineEdit(page, "CPZoomerWidthEdit");
        CPZoomerHeightEdit = lineEdit(page, "CPZoomerHeightEdit");
        CPZoomerZoomEdit = lineEdit(page, "CPZoomerZoomEdit");
        CPZoomerAutoContrastTrackBar = trackBar(page, "CPZoomerAutoContrastTrackBar", 0, 100);
        form->addRow("Magnification glass width:", CPZoomerWidthEdit);
        form->addRow("Magnification glass height:", CPZoomerHeightEdit);
        form->addRow("Magnification:", CPZoomerZoomEdit);
        form->addRow("Auto contrast:", CPZoomerAutoContrastTrackBar);
        RememberCPScollBoxPosCheckBox = checkBox(page, "RememberCPScollBoxPosCheckBox",
                                                 "Remember scrollbar positions of each image");
        WarnCPDeleteCheckBox =
            checkBox(page, "WarnCPDeleteCheckBox", "Ask before deleting control points");
        form->addRow(RememberCPScollBoxPosCheckBox);
        form->addRow(WarnCPDeleteCheckBox);

        auto* pattern = new QGroupBox("Automatic control points", page);
        auto* grid = new QGridLayout(pattern);
        PatternBlockSizeTrackBar = trackBar(pattern, "PatternBlockSizeTrackBar", 0, 100);
        PatternDeviationTrackBar = trackBar(pattern, "PatternDeviationTrackBar", 1, 300);
        CPAutoThresholdTrackBar = trackBar(pattern, "CPAutoThresholdTrackBar", 0, 100);
        PatternBlockSizeLabel = new QLabel(pattern);
        PatternBlockSizeLabel->setObjectName("PatternBlockSizeLabel");
        PatternDeviationLabel = new QLabel(pattern);
        PatternDeviationLabel->setObjectName("PatternDeviationLabel");
        CPAutoThresholdLabel = new QLabel(pattern);
        CPAutoThresholdLabel->setObjectName("CPAutoThresholdLabel");
        grid->addWidget(new QLabel("BlockSize:", pattern), 0, 0);
        grid->addWidget(PatternBlockSizeTrackBar, 0, 1);
        grid->addWidget(PatternBlockSizeLabel, 0, 2);
        grid->addWidget(new QLabel("Deviation:", pattern), 1, 0);
        grid->addWidget(PatternDeviationTrackBar, 1, 1);
        grid->addWidget(PatternDeviationLabel, 1, 2);
        grid->addWidget(new QLabel("Threshold:", pattern), 2, 0);
        grid->addWidget(CPAutoThresholdTrackBar, 2, 1);
        grid->addWidget(CPAutoThresholdLabel, 2, 2);
        PatternPartialOptimizationCheckBox =
            checkBox(pattern, "PatternPartialOptimizationCheckBox", "Partial optimization");
        grid->addWidget(PatternPartialOptimizationCheckBox, 3, 0, 1, 3);
        form->addRow(pattern);
    }
    MainPageControl->addTab(ControlPointsTabSheet, "Control points");

    // Programs.
    ProgramsTabSheet = new QWidget;
    ProgramsTabSheet->setObjectName("ProgramsTabSheet");
    {
        QWidget* page = ProgramsTabSheet;
        auto* form = new QFormLayout(page);
        edPTStitcherApp = lineEdit(page, "edPTStitcherApp");
        edPTViewerApp = lineEdit(page, "edPTViewerApp");
        edRectViewerApp = lineEdit(page, "edRectViewerApp");
        edCylViewerApp = lineEdit(page, "edCylViewerApp");
        btnBrowsePTStitcherApp = button(page, "btnBrowsePTStitcherApp", "Browse...");
        btnBrowsePTViewerApp = button(page, "btnBrowsePTViewerApp", "Browse...");
        btnBrowseRectViewerApp = button(page, "btnBrowseRectViewerApp", "Browse...");
        btnBrowseCylViewerApp = button(page, "btnBrowseCylViewerApp", "Browse...");
        form->addRow("PTStitcher application:", withButton(page, edPTStitcherApp, btnBrowsePTStitcherApp));
        form->addRow("Equirectangular viewer:", withButton(page, edPTViewerApp, btnBrowsePTViewerApp));
        form->addRow("Rectilinear viewer:", withButton(page, edRectViewerApp, btnBrowseRectViewerApp));
        form->addRow("Cylindrical viewer:", withButton(page, edCylViewerApp, btnBrowseCylViewerApp));
        StitcherPriorityComboBox = comboBox(page, "StitcherPriorityComboBox", {"Normal", "Low"});
        form->addRow("Stitcher priority:", StitcherPriorityComboBox);
        EnblendDirectoryEdit = lineEdit(page, "EnblendDirectoryEdit");
        EnblendDirectoryEditBrowseButton = button(page, "EnblendDirectoryEditBrowseButton", "Browse...");
        EnblendOptionsEdit = lineEdit(page, "EnblendOptionsEdit");
        form->addRow("Enblend directory:", withButton(page, EnblendDirectoryEdit, EnblendDirectoryEditBrowseButton));
        form->addRow("Enblend options:", EnblendOptionsEdit);
        AutoPanoDirectoryEdit = lineEdit(page, "AutoPanoDirectoryEdit");
        AutoPanoDirectoryEditBrowseButton = button(page, "AutoPanoDirectoryEditBrowseButton", "Browse...");
        AutoPanoOptionsEdit = lineEdit(page, "AutoPanoOptionsEdit");
        AutoPanoOldVersionCheckBox =
            checkBox(page, "AutoPanoOldVersionCheckBox", "Autopano is an old version");
        form->addRow("Autopano directory:", withButton(page, AutoPanoDirectoryEdit, AutoPanoDirectoryEditBrowseButton));
        form->addRow("Autopano options:", AutoPanoOptionsEdit);
        form->addRow(AutoPanoOldVersionCheckBox);
    }
    MainPageControl->addTab(ProgramsTabSheet, "Programs");

    // Panorama Tools.
    PanoToolsTabSheet = new QWidget;
    PanoToolsTabSheet->setObjectName("PanoToolsTabSheet");
    {
        QWidget* page = PanoToolsTabSheet;
        auto* v = new QVBoxLayout(page);
        LensTypesGroupBox = new QGroupBox("Lens types", page);
        LensTypesGroupBox->setObjectName("LensTypesGroupBox");
        auto* grid = new QGridLayout(LensTypesGroupBox);
        for (int n = 0; n < 8; ++n) {
            const std::string digit = qb::IntToStr(n);
            auto* edit = lineEdit(LensTypesGroupBox, ("LensNameEdit" + digit).c_str());
            auto* combo =
                comboBox(LensTypesGroupBox, ("LensCropComboBox" + digit).c_str(), {"Rectangle", "Circle"});
            grid->addWidget(new QLabel(ToQ(digit), LensTypesGroupBox), n, 0);
            grid->addWidget(edit, n, 1);
            grid->addWidget(combo, n, 2);
            LensNameEdits_.push_back(edit);
            LensCropComboBoxes_.push_back(combo);
        }
        v->addWidget(LensTypesGroupBox);
        v->addWidget(new QLabel("Features of your Panorama Tools version:", page));
        PanoToolsFeaturesMemo = new QPlainTextEdit(page);
        PanoToolsFeaturesMemo->setObjectName("PanoToolsFeaturesMemo");
        PanoToolsFeaturesMemo->setReadOnly(true);
        PanoToolsFeaturesMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
        QFont mono("Monospace");
        mono.setStyleHint(QFont::TypeWriter);
        PanoToolsFeaturesMemo->setFont(mono);
        v->addWidget(PanoToolsFeaturesMemo, 1);
    }
    MainPageControl->addTab(PanoToolsTabSheet, "Panorama Tools");

    auto* buttons = new QHBoxLayout;
    HelpBtn = button(this, "HelpBtn", "Help");
    OKBtn = button(this, "OKBtn", "OK");
    OKBtn->setDefault(true);
    CancelBtn = button(this, "CancelBtn", "Cancel");
    buttons->addWidget(HelpBtn);
    buttons->addStretch(1);
    buttons->addWidget(OKBtn);
    buttons->addWidget(CancelBtn);
    main->addLayout(buttons);

    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    connect(HelpBtn, &QPushButton::clicked, this, [this] { HelpButtonClick(); });
    connect(MainPageControl, &QTabWidget::currentChanged, this, [this](int i) { CurrentPageChanged(i); });
    connect(btnBrowsePTStitcherApp, &QPushButton::clicked, this, [this] { btnBrowsePTStitcherAppClick(); });
    connect(btnBrowsePTViewerApp, &QPushButton::clicked, this, [this] { btnBrowsePTViewerAppClick(); });
    connect(btnBrowseRectViewerApp, &QPushButton::clicked, this, [this] { btnBrowseRectViewerAppClick(); });
    connect(btnBrowseCylViewerApp, &QPushButton::clicked, this, [this] { btnBrowseCylViewerAppClick(); });
    connect(AutoPanoDirectoryEditBrowseButton, &QPushButton::clicked, this,
            [this] { AutoPanoDirectoryEditBrowseButtonClick(); });
    connect(EnblendDirectoryEditBrowseButton, &QPushButton::clicked, this,
            [this] { EnblendDirectoryEditBrowseButtonClick(); });
    connect(PatternBlockSizeTrackBar, &QSlider::valueChanged, this, [this] { PatternBlockSizeTrackBarChange(); });
    connect(PatternDeviationTrackBar, &QSlider::valueChanged, this, [this] { PatternDeviationTrackBarChange(); });
    connect(CPAutoThresholdTrackBar, &QSlider::valueChanged, this, [this] { CPAutoThresholdTrackBarChange(); });
    connect(ShowExifCheckBox, &QCheckBox::toggled, this, [this] { ShowExifCheckBoxClick(); });
    PatternBlockSizeTrackBarChange();
    PatternDeviationTrackBarChange();
    CPAutoThresholdTrackBarChange();
    ShowExifCheckBoxClick();
    shownPage_ = MainPageControl->currentIndex();
}

void TfrmOptions::BuildLinks() {
    auto& links = MainRegistrySaver_->ComponentLinks();
    auto integer = [&](const char* value, int32_t defaultValue, QWidget* control, const char* human) {
        TzrLink& l = links.Add();
        l.SetControl(control);
        l.RegistryValue = value;
        l.DataType = TzrRSCLTCITInt;
        l.DefaultInt = defaultValue;
        l.HumanName = human;
    };
    auto string = [&](const char* value, const char* defaultValue, QWidget* control, const char* human) {
        TzrLink& l = links.Add();
        l.SetControl(control);
        l.RegistryValue = value;
        l.DataType = TzrRSCLTCITAnsiString;
        l.DefaultString = defaultValue;
        l.HumanName = human;
    };
    integer("CPDoubleBuffered", 1, CPDoubleBufferedTrackbar, "Quality/speed");
    integer("CPZoomerWidth", 31, CPZoomerWidthEdit, "Magnification glass width");
    integer("CPZoomerHeight", 31, CPZoomerHeightEdit, "Magnification glass height");
    integer("CPZoomerZoom", 3, CPZoomerZoomEdit, "Magnification");
    string("TempDir", "", edTempDir, "Temporary directory");
    string("PTStitcherApp", "", edPTStitcherApp, "PTStitcher application");
    string("PTViewerApp", "", edPTViewerApp, "Equirectangular viewer");
    string("RectViewerApp", "", edRectViewerApp, "Rectilinear viewer");
    string("CylViewerApp", "", edCylViewerApp, "Cylindrical viewer");
    integer("ShowHelpBar", 1, ShowHelpBarCheckBox, "Show help bar");
    integer("ThumbnailsLowPriority", 0, ThumbnailPriorityComboBox, "Thumbnail update priority");
    integer("LargeThumbnailWidth", 600, LargeThumbnailWidthEdit, "Soucre image cache width");
    integer("LargeThumbnailHeight", 600, LargeThumbnailHeightEdit, "Soucre image cache height");
    integer("AutoWizard", 1, AutoWizardCheckbox, "Show Vorda Project Wizard at startup");
    integer("CheckPano12Dll", 1, CheckPano12CheckBox, "Check for duplicate pano12.dll files on startup");
    static const char* const lensNames[8] = {"Normal (rectilinear)", "Cylindrical",    "Circular",
                                             "Full frame",           "Equirectangular", "undefined (f5)",
                                             "undefined (f6)",       "undefined (f7)"};
    static const char* const lensValues[8] = {"LensName0", "LensName1", "LensName2", "LensName3",
                                              "LensName4", "LensName5", "LensName6", "LensName7"};
    static const char* const lensHuman[8] = {"Lens Name 0", "Lens Name 1", "Lens Name 2", "Lens Name 3",
                                             "Lens Name 4", "Lens Name 5", "Lens Name 6", "Lens Name 7"};
    for (int n = 0; n < 8; ++n) string(lensValues[n], lensNames[n], LensNameEdits_[static_cast<size_t>(n)], lensHuman[n]);
    static const char* const cropValues[8] = {"CropType0", "CropType1", "CropType2", "CropType3",
                                              "CropType4", "CropType5", "CropType6", "CropType7"};
    static const char* const cropHuman[8] = {"Crop format 0", "Crop format 1", "Crop format 2", "Crop format 3",
                                             "Crop format 4", "Crop format 5", "Crop format 6", "Crop format 7"};
    for (int n = 0; n < 8; ++n)
        integer(cropValues[n], n == 2 ? 1 : 0, LensCropComboBoxes_[static_cast<size_t>(n)], cropHuman[n]);
    integer("RememberCPScollBoxPos", 1, RememberCPScollBoxPosCheckBox, "Remember scrollbar positions of each image");
    string("TemplateDir", "", edTemplateDir, "Directory for templates");
    integer("ShowToolBar", 1, ShowToolBarCheckBox, "Show Toolbar");
    integer("CPAutoBlockSize1", 12, PatternBlockSizeTrackBar, "BlockSize");
    integer("CPAutoDeviation1", 40, PatternDeviationTrackBar, "Deviation");
    integer("CPAutoThreshold1", 50, CPAutoThresholdTrackBar, "Threshold");
    integer("AddImagePreview", 1, PreviewAddImageCheckbox, "&Preview image in Add Image dialog box");
    integer("CPPartialOptimize1", 1, PatternPartialOptimizationCheckBox, "Partial optimization");
    integer("ShowEXIF", 1, ShowExifCheckBox, "");
    integer("ShowEXIFOnlyIfAvailable", 1, ShowEXIFOnlyIfAvailableCheckBox, "");
    integer("CPWarnDelete", 1, WarnCPDeleteCheckBox, "");
    integer("StitchBackgroundPriority", 0, StitcherPriorityComboBox, "Stitcher priority");
    string("AutoPanoDir", "", AutoPanoDirectoryEdit, "");
    string("AutoPanoOptions", "", AutoPanoOptionsEdit, "");
    integer("CacheSourceImages", 1, CacheSourceImagesCheckBox, "Cache uncompressed source images on disk");
    string("EnblendDir", "", EnblendDirectoryEdit, "");
    // Enblend 4 blends the full-canvas layers of this platform's stitcher correctly only with
    // its fine seam mask (with the coarse one it fills whole layers with black).
    string("EnblendOptions", "--fine-mask", EnblendOptionsEdit, "");
    integer("AutoPanoOldVersion", 0, AutoPanoOldVersionCheckBox, "");
    integer("CPZoomAutoContrastAmount", 50, CPZoomerAutoContrastTrackBar, "Auto contrast");
}

// ---------------------------------------------------------------------------------------
// The seeding sequence

std::string TfrmOptions::DefaultTempDir() const {
    std::string dir = EnvValue("TMP");
    if (dir.empty()) dir = EnvValue("TEMP");
    if (dir.empty()) dir = qb::platform::GetTempDirectory();
    return dir;
}

std::string TfrmOptions::DefaultStitcher() {
    // The stitcher of the Panorama Tools installation, when the installation names its
    // directory; the accessor is released in every case.
    {
        TRegistry panoTools(store_->FileName());
        std::string installDir;
        if (panoTools.OpenKeyReadOnly(PanoToolsRegistryKey)) {
            if (panoTools.GetDataType("InstallDir1") == TRegDataType::rdString)
                installDir = panoTools.ReadString("InstallDir1");
            panoTools.CloseKey();
        }
        if (!installDir.empty()) {
            const std::string candidate = installDir + "/" + HelpersPTStitcher;
            if (qb::platform::FileExists(candidate)) return candidate;
        }
    }
    // The stitcher front installed with this program, or the one in the build tree.
    const std::string beside = setup_.programDir + HelpersPTStitcher;
    if (qb::platform::FileExists(beside)) return beside;
    if (!setup_.buildTreeStitcher.empty() && qb::platform::FileExists(setup_.buildTreeStitcher))
        return setup_.buildTreeStitcher;
    return std::string();
}

void TfrmOptions::Seed() {
    // A store that can only be read is used as it is: nothing is seeded.
    if (!store_->StoreReadOnly()) SeedStore();
    ListLibraryFeatures(featureLines_);
    QStringList memo;
    for (const std::string& line : featureLines_) memo << LibraryText(line).replace("\r\n", "\n");
    PanoToolsFeaturesMemo->setPlainText(memo.join('\n'));
    UpdateLensTypeControls();
}

void TfrmOptions::SeedStore() {
    // 2. Temporary directory.
    SeedOptionString("TempDir", DefaultTempDir());
    // 3. The programs, empty unless present.
    SeedOptionString("PTStitcherApp", "");
    SeedOptionString("PTViewerApp", "");
    SeedOptionString("CylViewerApp", "");
    SeedOptionString("RectViewerApp", "");
    // 4. Default viewer: the suite's own viewer beside the program.
    if (ReadOptionString("CylViewerApp").empty() || ReadOptionString("RectViewerApp").empty()) {
        const std::string viewer = setup_.programDir + SuiteViewerName;
        if (qb::platform::FileExists(viewer)) {
            if (ReadOptionString("CylViewerApp").empty()) WriteOptionString("CylViewerApp", viewer);
            if (ReadOptionString("RectViewerApp").empty()) WriteOptionString("RectViewerApp", viewer);
        }
    }
    // 5. Default stitcher.
    if (ReadOptionString("PTStitcherApp").empty()) {
        const std::string stitcher = DefaultStitcher();
        if (!stitcher.empty()) WriteOptionString("PTStitcherApp", stitcher);
    }
    // Enblend, like the stitcher, is found by itself when none is set: the one on the PATH.
    if (ReadOptionString("EnblendDir").empty()) {
        const std::string enblend = qb::platform::FindOnPath("enblend");
        if (!enblend.empty()) WriteOptionString("EnblendDir", qb::platform::ExtractFileDir(enblend));
    }
    // 6. An Autopano directory from an older installation means an old Autopano.
    SeedOptionInteger("AutoPanoOldVersion", ReadOptionString("AutoPanoDir").empty() ? 0 : 1);
    // 7. to 10.
    ImportLensTypes();
    MainRegistrySaver_->WriteDefaultIfNotExists();
}

// ---------------------------------------------------------------------------------------
// The store

template <class F>
void TfrmOptions::WithOptionsKey(F&& body) {
    store_->CloseKey();
    if (!store_->OpenKey(OptionsRegistryKey, true))
        throw qb::Exception(std::string("Failed to open registry key '") + OptionsRegistryKey + "'");
    try {
        body();
    } catch (...) {
        store_->CloseKey();
        throw;
    }
    store_->CloseKey();
}

std::string TfrmOptions::ReadOptionString(const std::string& name) {
    std::string result;
    // A value of another type reads as absent, as it does for the linked controls.
    WithOptionsKey([&] {
        if (store_->GetDataType(name) == TRegDataType::rdString) result = store_->ReadString(name);
    });
    return result;
}

void TfrmOptions::WriteOptionString(const std::string& name, const std::string& value) {
    WithOptionsKey([&] { store_->WriteString(name, value); });
}

void TfrmOptions::WriteOptionInteger(const std::string& name, int32_t value) {
    WithOptionsKey([&] { store_->WriteInteger(name, value); });
}

void TfrmOptions::SeedOptionString(const std::string& name, const std::string& value) {
    WithOptionsKey([&] {
        if (!store_->ValueExists(name)) store_->WriteString(name, value);
    });
}

void TfrmOptions::SeedOptionInteger(const std::string& name, int32_t value) {
    WithOptionsKey([&] {
        if (!store_->ValueExists(name)) store_->WriteInteger(name, value);
    });
}

// ---------------------------------------------------------------------------------------
// Lens types and features

void TfrmOptions::ImportLensTypes() {
    const int32_t n = PanoCorrect1_->GetNumLensTypes();
    if (n <= 0) return;
    for (int i = 0; i < 8; ++i) {
        std::string name;
        bool circular = false;
        if (i < n) PanoCorrect1_->GetLensType(i, name, circular);
        if (name.empty()) name = "undefined (f" + qb::IntToStr(i) + ")";
        WriteOptionString("LensName" + qb::IntToStr(i), name);
        WriteOptionInteger("CropType" + qb::IntToStr(i), circular ? 1 : 0);
    }
}

void TfrmOptions::ListLibraryFeatures(std::vector<std::string>& lines) {
    lines.clear();
    std::vector<std::string> names;
    if (!PanoCorrect1_->GetFeatures(names)) {
        lines.push_back(std::string("Feature information not supported.\r\nVisit ") + qb::PanoToolsDownloadPage +
                        " for an updated version of Panorama Tools");
        return;
    }
    size_t width = 0;
    for (const std::string& name : names) width = std::max(width, name.size());
    for (const std::string& name : names)
        lines.push_back(name + ": " + std::string(width - name.size(), ' ') + PanoCorrect1_->GetStringFeature(name));
}

void TfrmOptions::UpdateLensTypeControls() {
    const bool fromLibrary = PanoCorrect1_->GetNumLensTypes() > 0;
    for (QLineEdit* e : LensNameEdits_) e->setReadOnly(fromLibrary);
    for (QComboBox* c : LensCropComboBoxes_) c->setEnabled(!fromLibrary);
    LensTypesGroupBox->setTitle(fromLibrary ? "Lens types (as reported by your Panorama Tools version)"
                                            : "Lens types");
}

void TfrmOptions::ValidateLensNames() {
    // The offending edit is brought into view (its page shown without the page checks) and
    // receives the focus.
    auto activate = [this](QLineEdit* edit) {
        if (isVisible() && MainPageControl->currentWidget() != PanoToolsTabSheet) {
            switchingPage_ = true;
            MainPageControl->setCurrentWidget(PanoToolsTabSheet);
            shownPage_ = MainPageControl->currentIndex();
            switchingPage_ = false;
        }
        edit->setFocus(Qt::OtherFocusReason);
    };
    for (int n = 0; n < 8; ++n) {
        QLineEdit* edit = LensNameEdits_[static_cast<size_t>(n)];
        const std::string t = edit->text().toStdString();
        if (t.empty()) {
            activate(edit);
            throw qb::Exception("Please enter a name for lens type " + qb::IntToStr(n));
        }
        for (int m = 0; m < n; ++m) {
            if (LensNameEdits_[static_cast<size_t>(m)]->text().toStdString() == t) {
                activate(edit);
                throw qb::Exception("Duplicate lens name: " + t);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Buttons and pages

template <class F>
void TfrmOptions::Guarded(F&& handler) {
    try {
        handler();
    } catch (const qb::EAbort&) {
    } catch (const qb::Exception& e) {
        dialogs_->ShowError(e.message());
    }
}

void TfrmOptions::AcceptOptions() {
    ValidateLensNames();
    MainRegistrySaver_->CheckValue();
    MainRegistrySaver_->Control2Registry();
    accept();
}

void TfrmOptions::OKBtnClick() {
    Guarded([this] { AcceptOptions(); });
}

void TfrmOptions::HelpButtonClick() {
    Guarded([this] { dialogs_->ShowHelp(OptionsHelpContext); });
}

void TfrmOptions::MainPageControlChanging(bool& allowChange) {
    try {
        if (MainPageControl->currentWidget() == PanoToolsTabSheet) ValidateLensNames();
        MainRegistrySaver_->CheckValueIfVisible();
        allowChange = true;
    } catch (const qb::EAbort&) {
        allowChange = false;
    } catch (const qb::Exception& e) {
        allowChange = false;
        dialogs_->ShowError(e.message());
    }
}

void TfrmOptions::CurrentPageChanged(int index) {
    if (switchingPage_) return;
    const int left = shownPage_;
    if (index == left || left < 0 || left >= MainPageControl->count()) {
        shownPage_ = index;
        return;
    }
    // The tab widget has switched already: put the page being left back for its checks
    // (its controls must be visible to be checked), then move on when they pass.
    switchingPage_ = true;
    MainPageControl->setCurrentIndex(left);
    bool allowChange = true;
    MainPageControlChanging(allowChange);
    if (allowChange) MainPageControl->setCurrentIndex(index);
    shownPage_ = MainPageControl->currentIndex();
    switchingPage_ = false;
}

void TfrmOptions::BrowseProgram(QLineEdit* edit, const std::string& title, const std::string& filter,
                                const std::string& defaultName) {
    // A program here has no extension: the current text is taken when it names a file.
    const std::string current = edit->text().toStdString();
    const std::string initial =
        (!current.empty() && !EndsWithNoCase(current, "/")) ? current : defaultName;
    std::string chosen;
    if (dialogs_->OpenFile(title, filter, "", initial, chosen)) edit->setText(ToQ(chosen));
}

void TfrmOptions::btnBrowsePTStitcherAppClick() {
    Guarded([this] {
        BrowseProgram(edPTStitcherApp, "Where is PTStitcher?", "PTStitcher application (*)|*", "PTStitcher");
    });
}

void TfrmOptions::btnBrowsePTViewerAppClick() {
    Guarded([this] {
        BrowseProgram(edPTViewerApp, "Where is your panorama viewer?", "Panorama viewer (*)|*", "PTViewer");
    });
}

void TfrmOptions::btnBrowseRectViewerAppClick() {
    Guarded([this] { BrowseProgram(edRectViewerApp, "Where is your panorama viewer?", "Panorama viewer (*)|*", ""); });
}

void TfrmOptions::btnBrowseCylViewerAppClick() {
    Guarded([this] { BrowseProgram(edCylViewerApp, "Where is your panorama viewer?", "Panorama viewer (*)|*", ""); });
}

void TfrmOptions::BrowseDirectory(QLineEdit* edit, const std::string& prompt, const std::string& program) {
    std::string directory = edit->text().toStdString();
    if (!dialogs_->SelectDirectory(prompt, directory)) return;
    const std::string path = qb::platform::IncludeTrailingPathDelimiter(directory) + program;
    if (!qb::platform::FileExists(path)) throw qb::Exception("File not found: " + path);
    edit->setText(ToQ(directory));
}

void TfrmOptions::AutoPanoDirectoryEditBrowseButtonClick() {
    Guarded([this] {
        BrowseDirectory(AutoPanoDirectoryEdit, "Please select the directory of autopano:", "autopano");
    });
}

void TfrmOptions::EnblendDirectoryEditBrowseButtonClick() {
    Guarded([this] {
        BrowseDirectory(EnblendDirectoryEdit, "Please select the directory of enblend:", "enblend");
    });
}

void TfrmOptions::PatternBlockSizeTrackBarChange() {
    PatternBlockSizeLabel->setText(ToQ(qb::IntToStr(2 * PatternBlockSizeTrackBar->value() + 1) + " pixels"));
}

void TfrmOptions::PatternDeviationTrackBarChange() {
    PatternDeviationLabel->setText(ToQ(qb::IntToStr(PatternDeviationTrackBar->value()) + " pixels"));
}

void TfrmOptions::CPAutoThresholdTrackBarChange() {
    CPAutoThresholdLabel->setText(ToQ(qb::IntToStr(CPAutoThresholdTrackBar->value()) + " %"));
}

void TfrmOptions::ShowExifCheckBoxClick() {
    ShowEXIFOnlyIfAvailableCheckBox->setEnabled(ShowExifCheckBox->isChecked());
}

}  // namespace qb::settings
