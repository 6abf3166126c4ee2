// The script review dialog.
#include "app/scriptfileunit_include.h"

#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QVBoxLayout>

#include "app/quiltbatchmain.h"

namespace qb::app {

TdlgShowScript::TdlgShowScript(QWidget* parent) : QDialog(parent) {
    setObjectName("dlgShowScript");
    setWindowTitle("Panorama Tools script");
    // Dialog border with the system menu only.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFont(QFont("Tahoma", 8));
    resize(616, 369);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);

    // Top panel, 33 pixels high with a 4-pixel border, filled by the message.
    auto* top = new QWidget(this);
    top->setFixedHeight(33);
    auto* topLayout = new QHBoxLayout(top);
    topLayout->setContentsMargins(4, 4, 4, 4);
    lblMessage = new QLabel(top);
    lblMessage->setObjectName("lblMessage");
    lblMessage->setWordWrap(true);
    topLayout->addWidget(lblMessage);
    outer->addWidget(top);

    auto* body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    memoText = new QPlainTextEdit(this);
    memoText->setObjectName("memoText");
    memoText->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memoText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    body->addWidget(memoText, 1);

    // Right-hand panel, 97 pixels wide, with OK above Cancel.
    auto* right = new QWidget(this);
    right->setFixedWidth(97);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(11, 8, 11, 8);
    OKBtn = new QPushButton("OK", right);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setFixedSize(75, 25);
    OKBtn->setDefault(true);
    CancelBtn = new QPushButton("Cancel", right);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setFixedSize(75, 25);
    rightLayout->addWidget(OKBtn);
    rightLayout->addWidget(CancelBtn);
    rightLayout->addStretch(1);
    body->addWidget(right);
    outer->addLayout(body, 1);

    connect(OKBtn, &QPushButton::clicked, this, [this] { done(mrOk); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { done(mrCancel); });
}

TdlgShowScript::~TdlgShowScript() = default;

int TdlgShowScript::Execute(std::string& script, const std::string& message) {
    bool latin1 = false;
    lblMessage->setText(QString::fromUtf8(message.data(), static_cast<qsizetype>(message.size())));
    memoText->setPlainText(ScriptToEditor(script, latin1));
    OKBtn->setFocus();
    // Esc and the close box end the dialog through reject(), which is QDialog::Rejected (0).
    const int result = exec();
    if (result == mrOk) {
        // The raw text: toPlainText() would turn no-break spaces into blanks.
        QString text = memoText->document()->toRawText();
        text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        text.replace(QChar::LineSeparator, QLatin1Char('\n'));
        script = EditorToScript(text, latin1);
        return mrOk;
    }
    return mrCancel;
}

}  // namespace qb::app
