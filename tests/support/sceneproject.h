// The project over the stitching tests' three views (tests/support/scene.h): a cylindrical
// panorama of 150 degrees, width x width / 3, with the views of 60 degrees at their yaws.
#pragma once

#include <string>
#include <vector>

#include "model/datastructures.h"
#include "tests/support/scene.h"

namespace qb::test {

// Fills `p` with the panorama and the views, named images + "view<k>.tif".
inline void SetThreeViewProject(TvrdProject& p, const std::string& images, const std::vector<View>& views,
                                int width = 1200) {
    p.Width = width;
    p.Height = width / 3;
    p.PreviewWidth = 300;
    p.PreviewHeight = 100;
    p.Panorama.Projection = 1;
    p.Panorama.Hfov = 150;
    p.GlobalLens.Hfov = 60;
    p.GlobalLens.A = p.GlobalLens.B = p.GlobalLens.C = 0;
    for (size_t k = 0; k < views.size(); ++k) {
        TvrdImage& im = p.AddImage();
        im.FileName = images + "view" + std::to_string(k) + ".tif";
        im.Width = 400;
        im.Height = 300;
        im.CropRight = 400;
        im.CropBottom = 300;
        im.Yaw = views[k].yaw;
    }
}

}  // namespace qb::test
