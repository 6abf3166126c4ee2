// TLogViewForm: a read-only view of a run log that follows the file while it grows (the
// "Show Log" action of the queue window).
#pragma once

#include <QDialog>

#include <cstdint>
#include <string>

class QPlainTextEdit;
class QTimer;

namespace qb::app {

class TLogViewForm : public QDialog {
    Q_OBJECT
public:
    explicit TLogViewForm(QWidget* parent = nullptr);

    // Shows the file from its beginning and follows it from then on.
    void ShowFile(const std::string& fileName);
    // Reads what has been added to the file since the last look (the timer calls it); a
    // file that was replaced or cut is read again from its beginning.
    void Follow();

    const std::string& FileName() const { return fileName_; }
    std::string Text() const;

    QPlainTextEdit* memoLog = nullptr;
    QTimer* FollowTimer = nullptr;

private:
    std::string fileName_;
    int64_t offset_ = 0;
    uint64_t inode_ = 0;
};

}  // namespace qb::app
