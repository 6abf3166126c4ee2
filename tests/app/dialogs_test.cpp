// The script review dialog, answered by a user simulated while it is up, and the progress
// window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>
#include <QTimer>
#include <QWidget>

#include <functional>

#include "app/progressunit.h"
#include "app/quiltbatchmain.h"
#include "app/scriptfileunit_include.h"
#include "tests/app/queue_fixture.h"

namespace qb::app {
namespace {

class ScriptDialogTest : public ::testing::Test {
protected:
    // Runs Execute while `user` acts on the dialog once it is up.
    int Run(std::string& script, const std::string& message, const std::function<void()>& user) {
        bool acted = false;
        QTimer::singleShot(0, &dialog, [&] {
            acted = true;
            visibleWhileUp = dialog.isVisible();
            modalWhileUp = dialog.isModal();
            focusWhileUp = dialog.focusWidget();
            shownMessage = dialog.lblMessage->text().toStdString();
            shownText = dialog.memoText->toPlainText().toStdString();
            user();
        });
        const int result = dialog.Execute(script, message);
        EXPECT_TRUE(acted);
        return result;
    }

    QApplication& app = queuetest::QueueApp();  // before any widget
    TdlgShowScript dialog;
    bool visibleWhileUp = false, modalWhileUp = false;
    QWidget* focusWhileUp = nullptr;
    std::string shownMessage, shownText;
};

TEST_F(ScriptDialogTest, ShowsTheScriptAndHandsBackTheEditsOnOK) {
    EXPECT_EQ(dialog.windowTitle().toStdString(), "Panorama Tools script");
    EXPECT_EQ(dialog.OKBtn->text().toStdString(), "OK");
    EXPECT_EQ(dialog.CancelBtn->text().toStdString(), "Cancel");
    EXPECT_TRUE(dialog.OKBtn->isDefault());
    EXPECT_EQ(dialog.memoText->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_FALSE(dialog.memoText->isReadOnly());

    std::string script = "p w100 h50\r\no n\"a.tif\"\r\n";
    const int result = Run(script, "Review it", [&] {
        QTextCursor cursor(dialog.memoText->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText("# added\n");
        dialog.OKBtn->click();
    });
    EXPECT_TRUE(visibleWhileUp);
    EXPECT_TRUE(modalWhileUp);
    EXPECT_EQ(focusWhileUp, dialog.OKBtn);
    EXPECT_EQ(shownMessage, "Review it");
    EXPECT_EQ(shownText, "p w100 h50\no n\"a.tif\"\n");
    EXPECT_EQ(result, mrOk);
    EXPECT_EQ(script, "p w100 h50\r\no n\"a.tif\"\r\n# added\r\n");
}

TEST_F(ScriptDialogTest, DeletingEveryLineGivesAnEmptyScript) {
    std::string script = "line 1\r\nline 2\r\n";
    const int result = Run(script, "m", [&] {
        dialog.memoText->selectAll();
        dialog.memoText->textCursor().removeSelectedText();
        dialog.OKBtn->click();
    });
    EXPECT_EQ(result, mrOk);
    EXPECT_EQ(script, "");
}

TEST_F(ScriptDialogTest, CancelEscapeAndTheCloseBoxLeaveTheScriptUnchanged) {
    const std::string original = "p w100\r\n";
    std::string script = original;
    EXPECT_EQ(Run(script, "m", [&] {
                  dialog.memoText->setPlainText("edited");
                  dialog.CancelBtn->click();
              }),
              mrCancel);
    EXPECT_EQ(script, original);

    EXPECT_EQ(Run(script, "m", [&] {
                  dialog.memoText->setPlainText("edited");
                  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                  QCoreApplication::sendEvent(dialog.memoText, &esc);
              }),
              mrCancel);
    EXPECT_EQ(script, original);

    EXPECT_EQ(Run(script, "m", [&] {
                  dialog.memoText->setPlainText("edited");
                  dialog.close();
              }),
              mrCancel);
    EXPECT_EQ(script, original);

    // Each call starts from the texts it is given.
    EXPECT_EQ(Run(script, "second", [&] { dialog.OKBtn->click(); }), mrOk);
    EXPECT_EQ(shownText, "p w100\n");
    EXPECT_EQ(shownMessage, "second");
    EXPECT_EQ(script, original);
}

TEST_F(ScriptDialogTest, BytesThatAreNotUtf8SurviveAnUneditedReview) {
    std::string script = "o n\"caf\xe9.tif\"\r\n\xa0\r\n";
    const std::string original = script;
    EXPECT_EQ(Run(script, "m", [&] { dialog.OKBtn->click(); }), mrOk);
    EXPECT_EQ(script, original);

    std::string utf8 = "o n\"caf\xc3\xa9.tif\"\r\n";
    const std::string originalUtf8 = utf8;
    EXPECT_EQ(Run(utf8, "m", [&] { dialog.OKBtn->click(); }), mrOk);
    EXPECT_EQ(utf8, originalUtf8);
    EXPECT_EQ(shownText, "o n\"caf\xc3\xa9.tif\"\n");

    // A byte order mark written by an editor stays where it was.
    std::string marked = "\xef\xbb\xbfp w100\r\n";
    const std::string originalMarked = marked;
    EXPECT_EQ(Run(marked, "m", [&] { dialog.OKBtn->click(); }), mrOk);
    EXPECT_EQ(marked, originalMarked);
}

TEST_F(ScriptDialogTest, TheQtDialogsReviewThroughTheProgramsDialog) {
    TQtMainDialogs dialogs(nullptr);
    dialogs.SetScriptDialog(&dialog);
    std::string script = "a\r\n";
    QTimer::singleShot(0, &dialog, [&] {
        shownMessage = dialog.lblMessage->text().toStdString();
        dialog.memoText->setPlainText("b\n");
        dialog.OKBtn->click();
    });
    EXPECT_EQ(dialogs.ExecuteScript(script, "through the interface"), mrOk);
    EXPECT_EQ(shownMessage, "through the interface");
    EXPECT_EQ(script, "b\r\n");
}

// ---------------------------------------------------------------------------------------

TEST(ProgressFormTest, WithoutCaptionOrBarItReadsOneMomentAndShowsOnlyTheMessage) {
    queuetest::QueueApp();
    QWidget owner;
    owner.show();
    TProgressForm progress;
    EXPECT_FALSE(progress.isVisible());
    EXPECT_EQ(progress.ProgressBar1->minimum(), 0);
    EXPECT_EQ(progress.ProgressBar1->maximum(), 100);

    progress.StartProgress("", &owner, false);
    EXPECT_TRUE(progress.isVisible());
    EXPECT_FALSE(progress.isModal());
    EXPECT_EQ(progress.windowTitle().toStdString(), "One moment...");
    EXPECT_FALSE(progress.ProgressBar1->isVisible());
    EXPECT_EQ(progress.TextLabel->text().toStdString(), "");
    EXPECT_FALSE(owner.isEnabled());
    EXPECT_EQ(progress.Owner(), &owner);

    progress.SetMessage("Loading image /in/a b.tif");
    EXPECT_EQ(progress.TextLabel->text().toStdString(), "Loading image /in/a b.tif");

    progress.EndProgress();
    EXPECT_TRUE(owner.isEnabled());
    EXPECT_FALSE(progress.isVisible());
}

TEST(ProgressFormTest, CaptionBarAndPositionWithoutOwner) {
    queuetest::QueueApp();
    TProgressForm progress;
    progress.StartProgress("Cropping", nullptr, true);
    EXPECT_EQ(progress.windowTitle().toStdString(), "Cropping");
    EXPECT_TRUE(progress.ProgressBar1->isVisible());
    EXPECT_EQ(progress.ProgressBar1->value(), 0);
    progress.SetProgress(42);
    EXPECT_EQ(progress.ProgressBar1->value(), 42);
    progress.SetProgress(250);
    EXPECT_EQ(progress.ProgressBar1->value(), 100);
    progress.EndProgress();
    EXPECT_FALSE(progress.isVisible());

    // A second run starts over.
    progress.StartProgress("", nullptr, false);
    EXPECT_EQ(progress.ProgressBar1->value(), 0);
    EXPECT_EQ(progress.windowTitle().toStdString(), "One moment...");
    progress.EndProgress();
}

TEST(ProgressFormTest, AnOwnerDestroyedMeanwhileIsNotTouched) {
    queuetest::QueueApp();
    TProgressForm progress;
    auto owner = std::make_unique<QWidget>();
    progress.StartProgress("", owner.get(), false);
    owner.reset();
    progress.EndProgress();
    EXPECT_EQ(progress.Owner(), nullptr);
}

}  // namespace
}  // namespace qb::app
