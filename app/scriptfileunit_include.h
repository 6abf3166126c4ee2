// TdlgShowScript: the modal dialog in which the user reviews, and may edit, the stitcher
// script before it is written and run.
#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace qb::app {

class TdlgShowScript : public QDialog {
    Q_OBJECT
public:
    explicit TdlgShowScript(QWidget* parent = nullptr);
    ~TdlgShowScript() override;

    // Shows the message and the script (its CR LF line ends give the lines) modally, with
    // the focus on OK. On OK the script becomes the text as the user left it; on Cancel
    // (the button, Esc or the close box) it stays unchanged. Returns the modal result
    // (mrOk, mrCancel).
    int Execute(std::string& script, const std::string& message);

    QLabel* lblMessage = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;
    QPlainTextEdit* memoText = nullptr;
};

// The 8-bit text of a script as shown in a Qt editor and back: UTF-8 when the bytes are
// valid UTF-8, else Latin-1 (so that every byte survives an unedited round trip); CR LF
// line ends become line breaks and line breaks become CR LF again.
QString ScriptToEditor(const std::string& text, bool& latin1);
std::string EditorToScript(const QString& text, bool latin1);

}  // namespace qb::app
