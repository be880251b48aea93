// The artwork in resources/ against what the window and its controls assume.

#include <QFontDatabase>
#include <QRegion>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/ui/UiTestSupport.h"
#include "ui/CSkinDialog.h"
#include "ui/CSkinImage.h"
#include "ui/SkinAreas.h"

namespace vorn {
namespace {

const std::vector<std::string> kWindowPictures = {
    "vorn background.png",        "buttons up stars off.png",    "vorn forward click.png",
    "vorn back click.png",        "vorn pause button click.png", "vorn pause button.png",
    "vorn play button click.png", "vorn stars on.png",           "vorn white display.png",
};

class SkinArtworkTest : public ::testing::Test {
protected:
    void SetUp() override { test::EnsureApplication(); }

    std::unique_ptr<CSkinImage> Load(const std::string& name) {
        auto image = std::make_unique<CSkinImage>("./resources/" + name);
        EXPECT_TRUE(image->IsValid()) << image->Error();
        return image;
    }

    static QRgb At(const CSkinImage& image, int x, int y) {
        return reinterpret_cast<const QRgb*>(image.Row(y))[x];
    }

    // Whether the two pictures have the same pixels everywhere in `area`.
    static bool SameIn(const CSkinImage& a, const CSkinImage& b, const QRegion& area) {
        for (const QRect& rect : area) {
            for (int y = rect.top(); y <= rect.bottom(); ++y) {
                for (int x = rect.left(); x <= rect.right(); ++x) {
                    if (At(a, x, y) != At(b, x, y)) return false;
                }
            }
        }
        return true;
    }

    test::SourceTreeCwd cwd;
};

TEST_F(SkinArtworkTest, WindowPicturesShareOneHardEdgedShape) {
    auto background = Load("vorn background.png");
    ASSERT_TRUE(background->IsValid());
    const QRegion shape = CSkinDialog::ShapeFromImage(*background, QSize(430, 130));
    for (const std::string& name : kWindowPictures) {
        auto picture = Load(name);
        ASSERT_TRUE(picture->IsValid());
        ASSERT_EQ(picture->Width(), CSkinDialog::kSkinWidth) << name;
        ASSERT_EQ(picture->Height(), CSkinDialog::kSkinHeight) << name;
        int soft = 0;
        for (int y = 0; y < picture->Height(); ++y) {
            for (int x = 0; x < picture->Width(); ++x) {
                const int alpha = picture->Alpha(x, y);
                soft += alpha != 0 && alpha != 255 ? 1 : 0;
            }
        }
        EXPECT_EQ(soft, 0) << name << ": pixels neither opaque nor transparent";
        EXPECT_EQ(CSkinDialog::ShapeFromImage(*picture, QSize(430, 130)), shape) << name;
    }
    // Every control lies on the window, and the corners are cut away.
    for (const QRegion& area : {SkinAreas::PlayButton(), SkinAreas::BackButton(),
                                SkinAreas::ForwardButton(), SkinAreas::RatingControl(),
                                SkinAreas::DisplayControl()}) {
        EXPECT_TRUE((area - shape).isEmpty()) << "a control area reaches off the window";
    }
    EXPECT_FALSE(shape.contains(QPoint(0, 0)));
    EXPECT_FALSE(shape.contains(QPoint(429, 129)));
}

// The pictures for 2x screens: each window picture drawn again at 860 x 260
// inside exactly the 1x outline (the window's shape is made of logical pixels),
// with detail finer than a logical pixel; the glass still only on the display.
TEST_F(SkinArtworkTest, HighResolutionPicturesKeepTheOutlineAndAddDetail) {
    std::vector<std::string> pictures = kWindowPictures;
    pictures.push_back("transparent menu screen.png");
    for (const std::string& name : pictures) {
        auto normal = Load(name);
        CSkinImage fine("./resources/" + name, 2.0);
        ASSERT_TRUE(fine.IsValid()) << fine.Error();
        ASSERT_EQ(fine.Scale(), 2.0) << name << ": no 2x picture";
        ASSERT_EQ(QSize(fine.Width(), fine.Height()), QSize(860, 260)) << name;
        EXPECT_EQ(fine.LogicalSize(), QSize(430, 130)) << name;
        const bool glass = name == "transparent menu screen.png";
        int outlineDiffers = 0;
        int blocks = 0;
        int detailedBlocks = 0;
        for (int y = 0; y < 130; ++y) {
            for (int x = 0; x < 430; ++x) {
                const QRgb corner = At(fine, 2 * x, 2 * y);
                bool detailed = false;
                for (int k = 0; k < 4; ++k) {
                    const int fx = 2 * x + k % 2;
                    const int fy = 2 * y + k / 2;
                    const bool alphaDiffers = glass ? (normal->Alpha(x, y) == 0) != (fine.Alpha(fx, fy) == 0)
                                                    : fine.Alpha(fx, fy) != normal->Alpha(x, y);
                    outlineDiffers += alphaDiffers ? 1 : 0;
                    detailed = detailed || At(fine, fx, fy) != corner;
                }
                if (normal->IsOpaque(x, y)) {
                    ++blocks;
                    detailedBlocks += detailed ? 1 : 0;
                }
            }
        }
        EXPECT_EQ(outlineDiffers, 0) << name << ": the 2x outline is not the 1x outline";
        if (!glass) {
            EXPECT_GT(detailedBlocks, blocks / 10) << name << ": enlarged, not drawn at 2x";
        }
    }
}

TEST_F(SkinArtworkTest, EachStateChangesOnlyWhatItShows) {
    auto up = Load("buttons up stars off.png");
    auto background = Load("vorn background.png");
    auto forward = Load("vorn forward click.png");
    auto back = Load("vorn back click.png");
    auto play = Load("vorn play button click.png");
    auto pause = Load("vorn pause button.png");
    auto pauseClick = Load("vorn pause button click.png");
    auto starsOn = Load("vorn stars on.png");

    // The play button is repainted over a held back or forward button: inside
    // its box the held pictures must look exactly like the resting one.
    const QRegion playBox = SkinAreas::PlayButton().boundingRect();
    EXPECT_TRUE(SameIn(*forward, *up, playBox));
    EXPECT_TRUE(SameIn(*back, *up, playBox));
    EXPECT_FALSE(SameIn(*forward, *up, SkinAreas::ForwardButton()));
    EXPECT_FALSE(SameIn(*back, *up, SkinAreas::BackButton()));
    // Likewise the play pictures must not differ on the ring inside that box
    // (the groove right around the button belongs to its look).
    const QRegion ringInBox = playBox - SkinAreas::Ellipse(42, 36, 102, 97);
    for (const auto* picture : {play.get(), pause.get(), pauseClick.get()}) {
        EXPECT_TRUE(SameIn(*picture, *up, ringInBox));
        EXPECT_FALSE(SameIn(*picture, *up, SkinAreas::PlayButton()));
    }
    // Lit stars differ from unlit ones in every column.
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(SameIn(*starsOn, *background, QRegion(220 + 32 * i, 85, 32, 18))) << i;
    }
}

TEST_F(SkinArtworkTest, DisplayFaceIsWhiteAndTheGlassStaysOnTheDisplay) {
    auto face = Load("vorn white display.png");
    const QRect box = SkinAreas::DisplayControl().boundingRect();
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            ASSERT_EQ(At(*face, x, y), 0xFFFFFFFFu) << x << "," << y;
        }
    }
    auto overlay = Load("transparent menu screen.png");
    ASSERT_EQ(overlay->Width(), 430);
    ASSERT_EQ(overlay->Height(), 130);
    int covering = 0;
    for (int y = 0; y < overlay->Height(); ++y) {
        for (int x = 0; x < overlay->Width(); ++x) {
            if (!box.contains(x, y)) {
                ASSERT_EQ(overlay->Alpha(x, y), 0) << x << "," << y;
            } else if (overlay->Alpha(x, y) > 230) {
                ++covering;
            }
        }
    }
    // See-through glass: only the rounded corners hide the text.
    EXPECT_LT(covering, box.width() * box.height() / 50);
}

TEST_F(SkinArtworkTest, DisplayFontAndIconAreThere) {
    const int id = QFontDatabase::addApplicationFont("./resources/DIGIRT__.ttf");
    ASSERT_GE(id, 0);
    EXPECT_FALSE(QFontDatabase::applicationFontFamilies(id).isEmpty());
    auto icon = Load("vorn icon.png");
    EXPECT_GE(icon->Width(), 64);
    EXPECT_EQ(icon->Width(), icon->Height());
}

}  // namespace
}  // namespace vorn
