// The crop pre-pass: where the installed stitcher or the Panorama Tools library cannot
// apply an image's crop rectangle, a cropped copy of the image is written as a temporary
// TIFF file beside the source images, and the project copy that the script is made from
// names that copy without a crop.
#include <memory>
#include <string>
#include <vector>

#include "app/progressunit.h"
#include "app/quiltbatchmain.h"
#include "components/MemBitmapIO/tzrmembitmapunit.h"
#include "core/exceptions.h"
#include "model/datastructures.h"

namespace qb::app {

void TMainForm::CropImages(qb::TvrdProject& project, const std::string& imagesDir,
                           std::vector<std::string>& croppedFiles, bool stitcherCrops, bool cropOutside) {
    for (int i = 0; i < project.ImageCount(); ++i) {
        qb::TvrdImage& image = project.Image(i);
        if (!image.IsCropped()) continue;
        const bool reachesOutside = image.CropLeft < 0 || image.CropTop < 0 || image.CropRight > image.Width ||
                                    image.CropBottom > image.Height;
        if (stitcherCrops && (cropOutside || !reachesOutside)) continue;
        const std::string name = UniqueFileName(imagesDir + "_crop_", ".tif");
        CropImageFile(image.FileName, name, image.CropLeft, image.CropTop, image.CropRight, image.CropBottom);
        croppedFiles.push_back(name);
        image.FileName = name;
        image.Width = image.CropRight - image.CropLeft;
        image.Height = image.CropBottom - image.CropTop;
        image.CropLeft = 0;
        image.CropRight = image.Width;
        image.CropTop = 0;
        image.CropBottom = image.Height;
    }
}

void TMainForm::CropImageFile(const std::string& sourceFile, const std::string& targetFile, int32_t left,
                              int32_t top, int32_t right, int32_t bottom) {
    auto target = std::make_unique<qb::TzrMemBitmap>();
    target->SetPixelFormat(qb::pf32bit);
    // The progress window exists from start-up on; without it the copy is made all the same.
    if (ProgressForm) ProgressForm->StartProgress(std::string(), this, false);
    try {
        if (ProgressForm) ProgressForm->SetMessage(qb::Format("Loading image %s", sourceFile.c_str()));
        BatchStatusLine(qb::Format("Loading image %s", sourceFile.c_str()));
        try {
            auto source = std::make_unique<qb::TzrMemBitmap>();
            source->LoadFromFile(sourceFile, 0);
            target->ExtractCropFrom(*source, qb::TRect(left, top, right, bottom), 0, true);
        } catch (const qb::EAbort&) {
            throw;
        } catch (const std::exception& e) {
            ShowError(e.what());
            throw qb::Exception(
                "Unable to create crop your images, probably because your system is out of bitmap resources.\n\n"
                "You might try to close all applications, restart Vorda and try again. If the problem persists, "
                "don't use Vorda's crop feature, but instead crop your images manually in an image editor.");
        }
        target->SaveToFile(targetFile);
    } catch (...) {
        if (ProgressForm) ProgressForm->EndProgress();
        throw;
    }
    if (ProgressForm) ProgressForm->EndProgress();
}

}  // namespace qb::app
