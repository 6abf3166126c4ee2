// The run log view.
#include "app/logview.h"

#include <sys/stat.h>

#include <QFont>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

namespace qb::app {

TLogViewForm::TLogViewForm(QWidget* parent) : QDialog(parent) {
    setObjectName("LogViewForm");
    setWindowTitle("Log");
    setModal(false);
    resize(640, 400);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    memoLog = new QPlainTextEdit(this);
    memoLog->setObjectName("memoLog");
    memoLog->setReadOnly(true);
    memoLog->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoLog->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout->addWidget(memoLog);
    FollowTimer = new QTimer(this);
    FollowTimer->setInterval(500);
    connect(FollowTimer, &QTimer::timeout, this, [this] { Follow(); });
}

void TLogViewForm::ShowFile(const std::string& fileName) {
    fileName_ = fileName;
    offset_ = 0;
    inode_ = 0;
    memoLog->clear();
    setWindowTitle(QString::fromUtf8("Log - ") + QString::fromUtf8(fileName.c_str()));
    Follow();
    FollowTimer->start();
    show();
    raise();
}

void TLogViewForm::Follow() {
    if (fileName_.empty()) return;
    struct stat st {};
    if (::stat(fileName_.c_str(), &st) != 0) return;
    if (static_cast<uint64_t>(st.st_ino) != inode_ || st.st_size < offset_) {
        // A new file, or one cut short: read it again from the beginning.
        memoLog->clear();
        offset_ = 0;
        inode_ = static_cast<uint64_t>(st.st_ino);
    }
    if (st.st_size == offset_) return;
    std::FILE* f = std::fopen(fileName_.c_str(), "rb");
    if (!f) return;
    std::string added;
    if (std::fseek(f, static_cast<long>(offset_), SEEK_SET) == 0) {
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) added.append(buffer, n);
    }
    std::fclose(f);
    // Only whole lines are shown; the rest comes with the next look.
    const size_t end = added.rfind('\n');
    if (end == std::string::npos) return;
    added.resize(end);
    offset_ += static_cast<int64_t>(end + 1);
    QScrollBar* bar = memoLog->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    memoLog->appendPlainText(QString::fromUtf8(added.data(), static_cast<qsizetype>(added.size())));
    if (atEnd) bar->setValue(bar->maximum());
}

std::string TLogViewForm::Text() const {
    const QByteArray bytes = memoLog->toPlainText().toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

}  // namespace qb::app
