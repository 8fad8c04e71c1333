// Where the viewer's picture goes, without the window: fit, centring, zoom
// steps and the zoom about a point, scroll ranges and positions.
#include "shell/view_geometry.h"

#include <gtest/gtest.h>

namespace {

ViewGeometry Make(int pictureWidth, int pictureHeight, int clientWidth, int clientHeight) {
    ViewGeometry g;
    g.setPicture(pictureWidth, pictureHeight);
    g.setClient(clientWidth, clientHeight);
    return g;
}

TEST(ViewGeometry, FitKeepsTheAspectAndLargerOnlyLeavesSmallPictures) {
    ViewGeometry g = Make(320, 200, 400, 400);
    g.setFit(true, false);
    ViewPlacement p = g.place();
    EXPECT_TRUE(p.fitted);
    EXPECT_EQ(p.size.x, 400);
    EXPECT_EQ(p.size.y, 250);
    EXPECT_EQ(g.percent(), 125);
    EXPECT_EQ(g.scrollRange().x, 0);

    g.setFit(true, true);  // fits as it is: shown at 100%
    EXPECT_FALSE(g.place().fitted);
    EXPECT_EQ(g.place().size.x, 320);
    g.setClient(160, 400);  // now too wide: shrunk
    EXPECT_TRUE(g.place().fitted);
    EXPECT_EQ(g.place().size.y, 100);

    g.setFit(false, false);
    g.setClient(400, 300);
    g.setCenter(true);
    EXPECT_EQ(g.place().origin.x, 40);
    EXPECT_EQ(g.place().origin.y, 50);
}

// The ranges follow the client area and the zoom, in 64 bits; positions
// stay within them.
TEST(ViewGeometry, ScrollRangesAndPositions) {
    ViewGeometry g = Make(640, 480, 200, 100);
    EXPECT_EQ(g.scrollRange().x, 440);
    EXPECT_EQ(g.scrollRange().y, 380);
    g.scrollTo(1000, -5);
    EXPECT_EQ(g.scroll().x, 440);
    EXPECT_EQ(g.scroll().y, 0);
    EXPECT_EQ(g.place().origin.x, -440);
    g.setClient(600, 100);  // a larger window pulls the position back
    EXPECT_EQ(g.scroll().x, 40);
    g.setFit(true, false);
    EXPECT_EQ(g.scrollRange().x, 0);
    EXPECT_EQ(g.scroll().x, 0);

    ViewGeometry huge = Make(30000, 20000, 800, 600);
    for (int i = 0; i < 10; ++i) huge.zoomBy(1, {0, 0});
    EXPECT_EQ(huge.percent(), 800);
    EXPECT_EQ(huge.scrollRange().x, int64_t{240000} - 800);  // past 16 bits
    huge.scrollBy(100000, 70000);
    EXPECT_EQ(huge.scroll().x, 100000);
    EXPECT_EQ(huge.scroll().y, 70000);
}

// Scroll bars only where the picture does not fit the area without them:
// none for an exact fit, both when one bar takes the room the other
// direction needed, whichever way the area came to its size.
TEST(ViewGeometry, ScrollBarsOnlyWhereThePictureDoesNotFit) {
    struct Case {
        int width, height;  // the area without bars
        bool horizontal, vertical;
    };
    for (const Case& c : {Case{640, 480, false, false}, Case{641, 481, false, false}, Case{639, 480, true, true},
                          Case{640, 479, true, true}, Case{650, 490, false, false}, Case{650, 479, true, true},
                          Case{639, 490, true, true}, Case{660, 479, false, true}, Case{639, 500, true, false}}) {
        for (int from : {200, 2000}) {  // from smaller and from larger
            ViewGeometry g = Make(640, 480, from, from);
            g.setClientArea(c.width, c.height, 17, 17);
            const ViewPoint range = g.scrollRange();
            EXPECT_EQ(range.x > 0, c.horizontal) << c.width << "x" << c.height;
            EXPECT_EQ(range.y > 0, c.vertical) << c.width << "x" << c.height;
            EXPECT_EQ(g.clientWidth(), c.width - (c.vertical ? 17 : 0));
            EXPECT_EQ(g.clientHeight(), c.height - (c.horizontal ? 17 : 0));
        }
    }
}

// "+", "-", Ctrl+0 and Ctrl+wheel: the steps from 1/8 to 8 times, counted
// from a fitted picture's own scale, about a point that keeps its pixel.
TEST(ViewGeometry, ZoomStepsAboutAPoint) {
    ViewGeometry g = Make(400, 300, 200, 150);
    const int percents[] = {12, 25, 33, 50, 100, 200, 300, 400, 600, 800};
    g.zoomBy(-10, {0, 0});
    for (int i = 0; i < kZoomStepCount; ++i) {
        EXPECT_EQ(g.percent(), percents[i]);
        g.zoomBy(1, {100, 75});
    }
    EXPECT_EQ(g.zoomIndex(), kZoomStepCount - 1);

    g.zoomToActualSize();
    g.scrollTo(0, 0);
    // The picture pixel (60, 40) under the point (60, 40) is there again at 2x.
    EXPECT_FALSE(g.zoomBy(1, {60, 40}));
    EXPECT_EQ(g.percent(), 200);
    EXPECT_EQ(g.scroll().x, 60);
    EXPECT_EQ(g.scroll().y, 40);

    // Fitted at 50%: one step up is the next step above it, and fit is left.
    g.setFit(true, false);
    EXPECT_EQ(g.percent(), 50);
    EXPECT_TRUE(g.zoomBy(1, {100, 75}));
    EXPECT_FALSE(g.fit());
    EXPECT_EQ(g.percent(), 100);
    g.setFit(true, false);
    EXPECT_TRUE(g.zoomBy(-1, {100, 75}));
    EXPECT_EQ(g.percent(), 33);
    EXPECT_FALSE(g.zoomToActualSize());
    EXPECT_EQ(g.percent(), 100);
}

// Clicks at either end of the timeline reach the first and the last frame;
// in between they round to the nearest, and each frame's mark leads back to it.
TEST(ViewGeometry, TimelinePositions) {
    EXPECT_EQ(TimelineFrameAt(0, 401, 6000), 0);
    EXPECT_EQ(TimelineFrameAt(100, 401, 6000), 1500);
    EXPECT_EQ(TimelineFrameAt(200, 401, 6000), 3000);
    EXPECT_EQ(TimelineFrameAt(400, 401, 6000), 5999);
    EXPECT_EQ(TimelineFrameAt(-50, 401, 6000), 0);
    EXPECT_EQ(TimelineFrameAt(9999, 401, 6000), 5999);
    EXPECT_EQ(TimelineFrameAt(50, 401, 1), 0);
    for (int32_t n = 0; n < 7; ++n) EXPECT_EQ(TimelineFrameAt(TimelineX(n, 300, 7), 300, 7), n);
    EXPECT_EQ(TimelineX(5999, 401, 6000), 400);
}

}  // namespace
