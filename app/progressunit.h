// TProgressForm: a small non-modal window that shows what the program is doing while the
// interface thread is busy (the crop pre-pass). It is repainted explicitly, since no
// message loop runs meanwhile.
#pragma once

#include <QDialog>
#include <QPointer>

#include <string>

class QLabel;
class QProgressBar;

namespace qb::app {

class TProgressForm : public QDialog {
    Q_OBJECT
public:
    explicit TProgressForm(QWidget* parent = nullptr);
    ~TProgressForm() override;

    // Disables the owner (when there is one) until EndProgress; an empty caption reads
    // "One moment..."; position 0, the bar shown or hidden, an empty message; shows the
    // window and repaints it at once.
    void StartProgress(const std::string& caption, QWidget* owner, bool barVisible);
    void SetMessage(const std::string& text);
    void SetProgress(int position);  // 0 to 100
    // Enables the owner again and closes the window.
    void EndProgress();

    QWidget* Owner() const { return owner_.data(); }

    QLabel* TextLabel = nullptr;
    QProgressBar* ProgressBar1 = nullptr;

private:
    void RepaintNow();

    // Cleared by Qt when the owner goes away before EndProgress.
    QPointer<QWidget> owner_;
};

}  // namespace qb::app
