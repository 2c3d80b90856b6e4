#include <gtest/gtest.h>

#include "viewer/PictureFit.h"

namespace {

struct FitCase {
    const char* what;
    QSize picture, screen;
    QRect expected;
    bool scaled;
};

TEST(PictureFit, KeepsTheWholePictureOnTheScreenCentredAndNeverEnlarged)
{
    const FitCase cases[] = {
        {"smaller both ways keeps its size", {800, 600}, {1024, 768}, {112, 84, 800, 600}, false},
        {"exactly the screen's width, less high", {1024, 500}, {1024, 768}, {0, 134, 1024, 500}, false},
        {"exactly the screen's height, less wide", {500, 768}, {1024, 768}, {262, 0, 500, 768}, false},
        {"exactly the screen", {1024, 768}, {1024, 768}, {0, 0, 1024, 768}, false},
        {"wider excess but height limits: shown whole", {1900, 1500}, {1024, 768}, {25, 0, 973, 768}, true},
        {"equal excesses", {1124, 868}, {1024, 768}, {14, 0, 995, 768}, true},
        {"2185 px wide is shown, fitted to the width", {2185, 1000}, {1920, 1080}, {0, 100, 1920, 879}, true},
        {"24 MP landscape", {6000, 4000}, {1920, 1080}, {150, 0, 1620, 1080}, true},
        {"24 MP portrait", {4000, 6000}, {1920, 1080}, {600, 0, 720, 1080}, true},
        {"same aspect as the screen", {3840, 2160}, {1920, 1080}, {0, 0, 1920, 1080}, true},
        {"huge square", {60000, 60000}, {1920, 1080}, {420, 0, 1080, 1080}, true},
        {"one-pixel-high strip keeps a line", {100000, 1}, {1920, 1080}, {0, 539, 1920, 1}, true},
        {"one-pixel-wide strip keeps a column", {1, 100000}, {1920, 1080}, {959, 0, 1, 1080}, true},
        // A screen of device-pixel ratio 2 is fitted in device pixels: a 3000 x 2000
        // picture fits 3840 x 2160 and keeps its natural size.
        {"device-pixel ratio 2", {3000, 2000}, {3840, 2160}, {420, 80, 3000, 2000}, false},
        {"the same picture at ratio 1", {3000, 2000}, {1920, 1080}, {150, 0, 1620, 1080}, true},
    };
    for (const FitCase& c : cases) {
        const PictureFit fit = fitPicture(c.picture, c.screen);
        EXPECT_EQ(fit.rect, c.expected) << c.what;
        EXPECT_EQ(fit.scaled, c.scaled) << c.what;
        EXPECT_TRUE(QRect(QPoint(0, 0), c.screen).contains(fit.rect)) << c.what;
    }
}

TEST(PictureFit, NothingToFitGivesNoPlace)
{
    EXPECT_TRUE(fitPicture({0, 0}, {1920, 1080}).rect.isEmpty());
    EXPECT_TRUE(fitPicture({100, 100}, {0, 0}).rect.isEmpty());
    EXPECT_TRUE(fitPicture({-5, 10}, {1920, 1080}).rect.isEmpty());
}

}  // namespace
