// Rectangle arithmetic shared by the crops, the compositing and the drawing.
#include <gtest/gtest.h>

#include <limits>

#include "components/MemBitmapIO/tzrmembitmapunit.h"

namespace qb {
namespace {

using B = TzrMemBitmap;

TEST(MemBitmapRects, IntersectAndOverlap) {
    EXPECT_EQ(B::IntersectRect(TRect(0, 0, 10, 10), TRect(5, -3, 20, 4)), TRect(5, 0, 10, 4));
    // Touching edges or disjoint rectangles give the empty (0, 0, 0, 0).
    EXPECT_EQ(B::IntersectRect(TRect(0, 0, 10, 10), TRect(10, 0, 20, 10)), TRect(0, 0, 0, 0));
    EXPECT_EQ(B::IntersectRect(TRect(0, 0, 10, 10), TRect(30, 30, 40, 40)), TRect(0, 0, 0, 0));
    EXPECT_TRUE(B::RectsOverlap(TRect(0, 0, 10, 10), TRect(9, 9, 11, 11)));
    EXPECT_FALSE(B::RectsOverlap(TRect(0, 0, 10, 10), TRect(0, 10, 10, 20)));
    EXPECT_FALSE(B::RectsOverlap(TRect(0, 0, 10, 10), TRect(3, 3, 3, 8)));  // zero width
}

TEST(MemBitmapRects, SubstractRect) {
    std::array<TRect, 4> out;
    B::SubstractRect(TRect(0, 0, 10, 10), TRect(2, 3, 8, 7), out);
    EXPECT_EQ(out[0], TRect(0, 0, 10, 3));
    EXPECT_EQ(out[1], TRect(0, 3, 2, 7));
    EXPECT_EQ(out[2], TRect(8, 3, 10, 7));
    EXPECT_EQ(out[3], TRect(0, 7, 10, 10));

    B::SubstractRect(TRect(0, 0, 10, 10), TRect(20, 20, 30, 30), out);
    EXPECT_EQ(out[0], TRect(0, 0, 10, 10));
    EXPECT_EQ(out[1], TRect(0, 0, 0, 0));
    EXPECT_EQ(out[2], TRect(0, 0, 0, 0));
    EXPECT_EQ(out[3], TRect(0, 0, 0, 0));

    // b over the lower right corner: only the top and left bands remain, packed from 0;
    // the left band keeps b's bottom (users clip it).
    B::SubstractRect(TRect(0, 0, 10, 10), TRect(6, 4, 15, 15), out);
    EXPECT_EQ(out[0], TRect(0, 0, 10, 4));
    EXPECT_EQ(out[1], TRect(0, 4, 6, 15));
    EXPECT_EQ(out[2], TRect(0, 0, 0, 0));
    EXPECT_EQ(out[3], TRect(0, 0, 0, 0));

    // b covering a: nothing left.
    B::SubstractRect(TRect(2, 2, 5, 5), TRect(0, 0, 10, 10), out);
    for (const TRect& r : out) EXPECT_EQ(r, TRect(0, 0, 0, 0));
}

TEST(MemBitmapRects, FitAndAdd) {
    TRect r(-3, 2, 12, 20);
    const TRect d = B::fitRect(r, TRect(0, 0, 10, 10));
    EXPECT_EQ(r, TRect(0, 2, 10, 10));
    EXPECT_EQ(d, TRect(3, 0, -2, -10));

    TRect inside(1, 1, 5, 5);
    EXPECT_EQ(B::fitRect(inside, TRect(0, 0, 10, 10)), TRect(0, 0, 0, 0));
    EXPECT_EQ(inside, TRect(1, 1, 5, 5));

    TRect dest(0, 0, 15, 18);
    B::addRect(dest, d);
    EXPECT_EQ(dest, TRect(3, 0, 13, 8));
    EXPECT_EQ(dest.Width(), r.Width());
    EXPECT_EQ(dest.Height(), r.Height());
}

TEST(MemBitmapRects, ExtremeValuesSaturate) {
    constexpr int lo = std::numeric_limits<int>::min();
    constexpr int hi = std::numeric_limits<int>::max();
    TRect r(lo, lo, -5, hi);
    const TRect d = B::fitRect(r, TRect(1, 1, 10, 10));
    EXPECT_EQ(d.left, hi);  // 1 - INT_MIN does not fit: held at the largest value
    EXPECT_EQ(d.bottom, 10 - hi);
    TRect dest(0, 0, 100, 100);
    B::addRect(dest, d);
    EXPECT_TRUE(dest.left > dest.right || dest.Width() <= 0);
    EXPECT_FALSE(B::RectsOverlap(TRect(lo, lo, hi, hi), TRect(hi, hi, hi, hi)));
    EXPECT_EQ(B::IntersectRect(TRect(lo, lo, hi, hi), TRect(lo, lo, hi, hi)), TRect(lo, lo, hi, hi));
}

}  // namespace
}  // namespace qb
