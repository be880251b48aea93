#include "ui/CSkinImage.h"

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"
#include "tests/ui/UiTestSupport.h"

namespace vorn {
namespace {

struct Case {
    int b, g, r, a;       // as decoded
    int pb, pg, pr;       // premultiplied: channel * alpha / 255, truncated
};

TEST(CSkinImageTest, PremultipliesEveryChannelWithTruncation) {
    const std::vector<Case> cases = {
        {200, 100, 50, 128, 100, 50, 25},  // 100.39, 50.19, 25.09
        {255, 255, 255, 0, 0, 0, 0},
        {255, 254, 1, 255, 255, 254, 1},
        {255, 128, 3, 1, 1, 0, 0},         // 1.0, 0.50, 0.01
        {254, 127, 77, 254, 253, 126, 76},  // 253.00, 126.50, 76.70
        {10, 20, 30, 254, 9, 19, 29},      // 9.96, 19.92, 29.88: never rounded up
    };
    DecodedImage decoded;
    decoded.width = static_cast<int>(cases.size());
    decoded.height = 1;
    for (const Case& c : cases) {
        decoded.pixels.insert(decoded.pixels.end(),
                              {static_cast<std::uint8_t>(c.b), static_cast<std::uint8_t>(c.g),
                               static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.a)});
    }
    CSkinImage image(std::move(decoded));
    ASSERT_TRUE(image.IsValid());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::uint8_t* p = image.Row(0) + i * 4;
        EXPECT_EQ(p[0], cases[i].pb) << "pixel " << i;
        EXPECT_EQ(p[1], cases[i].pg) << "pixel " << i;
        EXPECT_EQ(p[2], cases[i].pr) << "pixel " << i;
        EXPECT_EQ(p[3], cases[i].a) << "pixel " << i;
    }
}

TEST(CSkinImageTest, QtSeesThePremultipliedPixelsWithoutACopy) {
    test::EnsureApplication();
    auto image = test::MakeImage(3, 2, [](int x, int y) {
        return QColor(40 * x, 50 * y, 200, x == 2 ? 128 : 255);
    });
    const QImage& qt = image->Image();
    EXPECT_EQ(qt.format(), QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(qt.width(), 3);
    EXPECT_EQ(qt.height(), 2);
    EXPECT_EQ(qt.constBits(), image->Row(0));
    EXPECT_EQ(qt.constScanLine(1), image->Row(1));
    // 0xAARRGGBB as Qt reads it, premultiplied: red 80 * 128 / 255 = 40, blue 200 -> 100.
    EXPECT_EQ(reinterpret_cast<const QRgb*>(qt.constScanLine(1))[2], qRgba(40, 25, 100, 128));
    EXPECT_TRUE(image->IsOpaque(0, 0));
    EXPECT_FALSE(image->IsOpaque(2, 0));
}

TEST(CSkinImageTest, LoadsPngFilesAndReportsTheDecodersMessage) {
    test::EnsureApplication();
    test::TempDir dir;
    QImage source(4, 3, QImage::Format_ARGB32);
    source.fill(QColor(255, 0, 0, 255));
    source.setPixel(1, 2, qRgba(0, 255, 0, 51));  // stored unpremultiplied in the PNG
    ASSERT_TRUE(source.save(QString::fromStdString(dir / "skin.png"), "PNG"));

    CSkinImage loaded(dir / "skin.png");
    ASSERT_TRUE(loaded.IsValid()) << loaded.Error();
    EXPECT_EQ(loaded.Width(), 4);
    EXPECT_EQ(loaded.Height(), 3);
    EXPECT_EQ(reinterpret_cast<const QRgb*>(loaded.Row(2))[1], qRgba(0, 51, 0, 51));
    EXPECT_EQ(reinterpret_cast<const QRgb*>(loaded.Row(0))[0], qRgba(255, 0, 0, 255));

    CSkinImage missing(dir / "missing.png");
    EXPECT_FALSE(missing.IsValid());
    EXPECT_EQ(missing.Error(), "Opening " + (dir / "missing.png") + " failed");
    EXPECT_EQ(missing.Width(), 0);
    EXPECT_TRUE(missing.Image().isNull());
}

}  // namespace
// A picture for a device pixel ratio: the 2x file at 2, the 2x file smoothly
// scaled between (a hard edge staying hard, soft glass staying soft), the 1x
// file at 1 and wherever no 2x file exists.
TEST(CSkinImageTest, TakesThePictureForTheDevicePixelRatio) {
    test::EnsureApplication();
    test::SourceTreeCwd cwd;
    EXPECT_EQ(CSkinImage::HighResolutionPath("./resources/vorn stars on.png"), "./resources/vorn stars on@2x.png");
    EXPECT_EQ(CSkinImage::HighResolutionPath("./a.b/skin"), "./a.b/skin@2x");

    const CSkinImage normal("./resources/vorn stars on.png", 1.0);
    EXPECT_EQ(normal.Width(), 430);
    EXPECT_EQ(normal.Scale(), 1.0);
    const CSkinImage fine("./resources/vorn stars on.png", 2.0);
    EXPECT_EQ(fine.Width(), 860);
    EXPECT_EQ(fine.Image().devicePixelRatio(), 2.0);

    const CSkinImage between("./resources/vorn stars on.png", 1.5);
    ASSERT_EQ(QSize(between.Width(), between.Height()), QSize(645, 195));
    EXPECT_EQ(between.Scale(), 1.5);
    EXPECT_EQ(between.LogicalSize(), QSize(430, 130));
    int soft = 0;
    for (int y = 0; y < between.Height(); ++y) {
        for (int x = 0; x < between.Width(); ++x) soft += between.Alpha(x, y) % 255 != 0 ? 1 : 0;
    }
    EXPECT_EQ(soft, 0) << "the hard edge went soft";
    EXPECT_TRUE(between.IsOpaqueAtLogical(72, 66));
    EXPECT_FALSE(between.IsOpaqueAtLogical(1, 1));
    const CSkinImage glass("./resources/transparent menu screen.png", 1.5);
    EXPECT_NE(glass.Alpha(300, 90), 0);
    EXPECT_NE(glass.Alpha(300, 90), 255);

    const CSkinImage icon("./resources/vorn icon.png", 2.0);  // drawn once, at 256 x 256
    EXPECT_EQ(icon.Width(), 256);
    EXPECT_EQ(icon.Scale(), 1.0);
}

// A picture that serves one control keeps only that control's part, and that
// part draws exactly as the whole picture did: at the picture's own ratio and
// smoothly scaled to another, soft glass and hard edges alike.
TEST(CSkinImageTest, AKeptPartDrawsExactlyAsTheWholePicture) {
    test::EnsureApplication();
    test::SourceTreeCwd cwd;
    const auto drawn = [](const CSkinImage& image, const QRect& area, double deviceRatio) {
        QImage canvas(QSize(430, 130) * deviceRatio, QImage::Format_ARGB32_Premultiplied);
        canvas.setDevicePixelRatio(deviceRatio);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        image.Draw(painter, area.topLeft(), area);
        return canvas;
    };
    const QRect display(137, 38, 259, 41);
    const QRect odd(37, 21, 55, 43);
    for (const char* file : {"./resources/transparent menu screen.png", "./resources/vorn play button click.png"}) {
        for (const double ratio : {1.0, 1.5, 2.0}) {
            const CSkinImage whole(file, ratio);
            for (const QRect& area : {display, odd}) {
                const CSkinImage kept(file, ratio, area);
                ASSERT_TRUE(kept.IsValid()) << file;
                const std::string where = std::string(file) + " at " + std::to_string(ratio);
                EXPECT_LT(kept.Width() * kept.Height() * 2, whole.Width() * whole.Height()) << where;
                EXPECT_EQ(kept.LogicalSize(), QSize(430, 130)) << where;
                for (const double deviceRatio : {1.0, ratio, 2.0}) {
                    EXPECT_TRUE(drawn(kept, area, deviceRatio) == drawn(whole, area, deviceRatio))
                        << where << " drawn at " << deviceRatio;
                }
                // Inside the area as the whole picture; well beyond it, nothing.
                int differing = 0;
                const QRect near = area.adjusted(-8, -8, 8, 8);
                for (int y = near.top() - 4; y <= near.bottom() + 4; ++y) {
                    for (int x = near.left() - 4; x <= near.right() + 4; ++x) {
                        if (area.contains(x, y)) {
                            differing += kept.IsOpaqueAtLogical(x, y) != whole.IsOpaqueAtLogical(x, y) ? 1 : 0;
                        } else if (!near.contains(x, y)) {
                            differing += kept.IsOpaqueAtLogical(x, y) ? 1 : 0;
                        }
                    }
                }
                EXPECT_EQ(differing, 0) << where;
            }
        }
    }
}

}  // namespace vorn
