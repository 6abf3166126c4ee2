// The progress window.
#include "app/progressunit.h"

#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>

namespace qb::app {

TProgressForm::TProgressForm(QWidget* parent) : QDialog(parent) {
    setObjectName("ProgressForm");
    // Single border without border icons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(386, 69);
    TextLabel = new QLabel(this);
    TextLabel->setObjectName("TextLabel");
    TextLabel->setWordWrap(true);
    TextLabel->setFont(QFont("Tahoma", 8));
    TextLabel->setGeometry(8, 4, 370, 34);
    TextLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setGeometry(8, 44, 371, 16);
}

TProgressForm::~TProgressForm() = default;

void TProgressForm::RepaintNow() {
    if (isVisible()) repaint();
}

void TProgressForm::StartProgress(const std::string& caption, QWidget* owner, bool barVisible) {
    owner_ = owner;
    if (owner_) owner_->setEnabled(false);
    setWindowTitle(caption.empty() ? QString("One moment...") : QString::fromStdString(caption));
    SetProgress(0);
    ProgressBar1->setVisible(barVisible);
    SetMessage(std::string());
    // Centred on the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - QPoint(width() / 2, height() / 2));
    show();
    RepaintNow();
}

void TProgressForm::SetMessage(const std::string& text) {
    TextLabel->setText(QString::fromStdString(text));
    RepaintNow();
}

void TProgressForm::SetProgress(int position) {
    ProgressBar1->setValue(position < 0 ? 0 : position > 100 ? 100 : position);
    RepaintNow();
}

void TProgressForm::EndProgress() {
    if (owner_) owner_->setEnabled(true);
    owner_ = nullptr;
    close();
}

}  // namespace qb::app
