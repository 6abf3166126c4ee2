// The crop pre-pass: which images get a cropped copy, what the copy holds, how the project
// copy names it, the progress window, failures, and the copies' life within a run.
#include <gtest/gtest.h>

#include <QLabel>

#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "tests/app/pipeline_fixture.h"

namespace qb::app::test {
namespace {

using qb::platform::FileExists;

class CropPrepass : public PipelineTest {
protected:
    // An 80 x 60 picture: left half red, right half blue, the top row green.
    std::string Picture(const std::string& name) {
        QImage picture(80, 60, QImage::Format_RGB32);
        for (int y = 0; y < 60; ++y)
            for (int x = 0; x < 80; ++x)
                picture.setPixel(x, y, y == 0 ? qRgb(0, 255, 0) : x < 40 ? qRgb(255, 0, 0) : qRgb(0, 0, 255));
        const std::string file = images + name;
        EXPECT_TRUE(picture.save(QString::fromStdString(file), "PNG"));
        return file;
    }
    qb::TvrdImage& Add(qb::TvrdProject& p, const std::string& file, int l, int t, int r, int b) {
        qb::TvrdImage& im = p.AddImage();
        im.FileName = file;
        im.Width = 80;
        im.Height = 60;
        im.CropLeft = l;
        im.CropTop = t;
        im.CropRight = r;
        im.CropBottom = b;
        return im;
    }
};

TEST_F(CropPrepass, WhichImagesAreCopied) {
    CreateForm();
    const std::string a = Picture("a.png");
    qb::TvrdProject p;
    Add(p, a, 0, 0, 80, 60);       // not cropped
    Add(p, a, 10, 0, 80, 60);      // cropped inside
    Add(p, a, -100, 0, 80, 60);    // reaching outside
    Add(p, a, 0, 0, 80, 70);       // reaching outside below
    p.Image(1).InStitch = false;   // excluded images count as well
    p.Image(1).InPreview = false;

    struct Case {
        bool stitcherCrops, cropOutside;
        std::vector<int> copied;
    };
    for (const Case& c : {Case{true, true, {}}, Case{true, false, {2, 3}}, Case{false, true, {1, 2, 3}},
                          Case{false, false, {1, 2, 3}}}) {
        qb::TvrdProject copy;
        copy.Assign(p, true);
        std::vector<std::string> files;
        form->CropImages(copy, images, files, c.stitcherCrops, c.cropOutside);
        ASSERT_EQ(files.size(), c.copied.size());
        for (size_t k = 0; k < files.size(); ++k) {
            // Two copies in one run get two names.
            EXPECT_EQ(files[k], images + "_crop_" + std::to_string(k) + ".tif");
            const qb::TvrdImage& im = copy.Image(c.copied[k]);
            EXPECT_EQ(im.FileName, files[k]);
            EXPECT_FALSE(im.IsCropped());
            const qb::TvrdImage& orig = p.Image(c.copied[k]);
            EXPECT_EQ(im.Width, orig.CropRight - orig.CropLeft);
            EXPECT_EQ(im.Height, orig.CropBottom - orig.CropTop);
            EXPECT_EQ(im.CropRight, im.Width);
            EXPECT_EQ(im.CropBottom, im.Height);
        }
        for (int i = 0; i < copy.ImageCount(); ++i)
            if (std::find(c.copied.begin(), c.copied.end(), i) == c.copied.end()) {
                EXPECT_EQ(copy.Image(i).FileName, a);
                EXPECT_EQ(copy.Image(i).CropLeft, p.Image(i).CropLeft);
            }
        for (const std::string& f : files) std::filesystem::remove(f);
    }
    // The project the copy was made from is untouched.
    EXPECT_EQ(p.Image(2).CropLeft, -100);
    EXPECT_EQ(p.Image(2).FileName, a);
}

TEST_F(CropPrepass, TheCopyHoldsTheCropRectangle) {
    CreateForm();
    const std::string a = Picture("a.png");
    const std::string target = images + "_crop_7.tif";
    form->CropImageFile(a, target, 30, 0, 50, 10);
    qb::TzrMemBitmap copy;
    copy.LoadFromFile(target, 0);
    EXPECT_EQ(copy.GetWidth(), 20);
    EXPECT_EQ(copy.GetHeight(), 10);
    EXPECT_EQ(copy.GetPixelFormat(), qb::pf32bit);
    QImage image;
    copy.AssignTo(&image);
    EXPECT_EQ(QColor(image.pixel(0, 0)), QColor(0, 255, 0));
    EXPECT_EQ(QColor(image.pixel(0, 5)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(image.pixel(19, 5)), QColor(0, 0, 255));
    EXPECT_EQ(qAlpha(image.pixel(19, 5)), 255);
    // The progress window told what it did and is gone; the main window takes input again.
    EXPECT_EQ(progress->windowTitle().toStdString(), "One moment...");
    EXPECT_EQ(progress->TextLabel->text().toStdString(), "Loading image " + a);
    EXPECT_FALSE(progress->isVisible());
    EXPECT_TRUE(form->isEnabled());
    EXPECT_TRUE(answers.boxes.empty());
}

TEST_F(CropPrepass, Failures) {
    CreateForm();
    // A source that cannot be read: its own message, then the out-of-resources message.
    try {
        form->CropImageFile(images + "missing.png", images + "_crop_0.tif", 1, 1, 20, 20);
        ADD_FAILURE() << "no failure";
    } catch (const qb::Exception& e) {
        EXPECT_EQ(e.message(),
                  "Unable to create crop your images, probably because your system is out of bitmap resources.\n\n"
                  "You might try to close all applications, restart Vorda and try again. If the problem persists, "
                  "don't use Vorda's crop feature, but instead crop your images manually in an image editor.");
    }
    ASSERT_EQ(answers.boxes.size(), 1u);
    EXPECT_EQ(answers.boxes[0].type, TMsgDlgType::mtError);
    EXPECT_FALSE(answers.boxes[0].text.empty());
    EXPECT_EQ(answers.boxes[0].text.find("Unable to create crop"), std::string::npos) << answers.boxes[0].text;
    EXPECT_FALSE(FileExists(images + "_crop_0.tif"));
    EXPECT_FALSE(progress->isVisible());
    EXPECT_TRUE(form->isEnabled());

    // A target that cannot be written: that failure as it is.
    answers.boxes.clear();
    const std::string a = Picture("a.png");
    try {
        form->CropImageFile(a, Path("nodir/_crop_0.tif"), 1, 1, 20, 20);
        ADD_FAILURE() << "no failure";
    } catch (const qb::Exception& e) {
        EXPECT_EQ(e.message().find("Unable to create crop"), std::string::npos) << e.message();
    }
    EXPECT_TRUE(answers.boxes.empty());
    EXPECT_FALSE(progress->isVisible());
    EXPECT_TRUE(form->isEnabled());
}

TEST_F(CropPrepass, InARunTheLibraryDecidesAndTheCopiesGo) {
    // A library that cannot crop outside an image, a current stitcher: only the crop that
    // reaches outside is copied, and it is gone when the run ends.
    for (const char* variant : {"nocount", "full"}) {
        CreateForm(StandinLibrary(variant));
        form->dfsVersionInfoResource1.Reader = [](const std::string&) { return std::string("2.6.0.0"); };
        project = std::make_unique<qb::TvrdProject>();
        NewProject(0);
        const std::string a = Picture("a.png");
        Add(*project, a, -100, 0, 80, 60);
        Add(*project, a, 10, 10, 70, 50);
        const std::string file = SaveProject();
        const std::string before = qb::test::ReadFile(file);
        QueueAndStep(file);
        ASSERT_TRUE(form->StitcherRunning) << (answers.boxes.empty() ? "" : answers.boxes[0].text);
        const bool copies = std::string(variant) == "nocount";
        EXPECT_EQ(FileExists(images + "_crop_0.tif"), copies);
        ASSERT_TRUE(WaitIdle());
        EXPECT_EQ(form->QueueCount(), 0);
        const std::string script = qb::test::ReadFile(logs + "stitcher.script");
        EXPECT_EQ(script.find("i n\"_crop_0.tif\"") != std::string::npos, copies) << script;
        EXPECT_EQ(script.find("_crop_1"), std::string::npos) << script;
        EXPECT_TRUE(FilesLike(images, "_").empty());
        EXPECT_EQ(qb::test::ReadFile(file), before);
    }
}

TEST_F(CropPrepass, AnExcludedCroppedImageThatIsMissingFailsTheRun) {
    CreateForm();
    form->dfsVersionInfoResource1.Reader = [](const std::string&) { return std::string("2.5.a1"); };
    form->OldVersionWarned = true;
    NewProject(2);
    qb::TvrdImage& excluded = project->Image(1);
    excluded.InStitch = false;
    excluded.CropLeft = 5;
    std::filesystem::remove(excluded.FileName);
    const std::string file = SaveProject();
    QueueAndStep(file);
    ExpectStoppedWithFirst(file);
    ASSERT_EQ(answers.boxes.size(), 2u);
    EXPECT_EQ(answers.boxes[1].text.rfind("Unable to create crop your images", 0), 0u);
    EXPECT_TRUE(FilesLike(images, "_").empty());
}

}  // namespace
}  // namespace qb::app::test
