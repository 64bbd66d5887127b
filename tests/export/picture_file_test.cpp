#include "export/picture_file.h"

#include "support/picture_files.h"
#include "support/random_strokes.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace velmo::exporting {
namespace {

std::string contentsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

TEST(PictureFormat, ComesFromTheExtensionInAnyCase) {
    struct Case {
        const char* name;
        std::optional<PictureFormat> format;
        const char* png_name;
    };
    const Case cases[] = {
        {"picture.png", PictureFormat::Png, "picture.png"},
        {"/tmp/A.PNG", PictureFormat::Png, "/tmp/A.PNG"},
        {"layers.ora", PictureFormat::OpenRaster, "layers.ora.png"},
        {"x.Ora", PictureFormat::OpenRaster, "x.Ora.png"},
        {"picture", std::nullopt, "picture.png"},
        {"picture.jpg", std::nullopt, "picture.jpg.png"},
        {".png", std::nullopt, ".png.png"},
        {"dir/.ora", std::nullopt, "dir/.ora.png"},
        {"png", std::nullopt, "png.png"},
        {"", std::nullopt, ".png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(formatOfFileName(c.name), c.format);
        EXPECT_EQ(withExtension(c.name, PictureFormat::Png), c.png_name);
    }
    EXPECT_EQ(withExtension("a.png", PictureFormat::OpenRaster), "a.png.ora");
}

TEST(PictureFile, IsTheComposedPictureOrTheLayersArchive) {
    canvas::CanvasGeometry geometry;
    geometry.setScreenSize(64, 96);
    const auto layers = *paintLayers(velmo::testing::HandStrokes(11, 64, 96).stamped(30), geometry);
    const auto png = pictureFile(layers, PictureFormat::Png);
    ASSERT_TRUE(png);
    const auto decoded = velmo::testing::decodePng(*png);
    EXPECT_EQ(decoded.width, 64);
    EXPECT_EQ(decoded.height, 96);
    EXPECT_TRUE(decoded.rgba == velmo::testing::rgbaOfOpaque(composedPicture(layers)));
    const auto ora = pictureFile(layers, PictureFormat::OpenRaster);
    ASSERT_TRUE(ora);
    EXPECT_EQ(velmo::testing::zipEntries(*ora).size(), 7u);
    EXPECT_FALSE(pictureFile(layers, PictureFormat::Png, [](double) { return false; }));
}

TEST(WriteFileAtomically, WritesOrReplacesAndSaysWhyItCannot) {
    velmo::testing::TempDir dir;
    const std::string path = dir.file("picture.png");
    EXPECT_EQ(writeFileAtomically(path, "first"), std::nullopt);
    EXPECT_EQ(contentsOf(path), "first");
    EXPECT_EQ(writeFileAtomically(path, std::string(100000, 'x')), std::nullopt);
    EXPECT_EQ(contentsOf(path), std::string(100000, 'x'));
    EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::others_read);

    struct Case {
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {dir.file("missing/picture.png"),
         "Cannot write " + dir.file("missing/picture.png") + ": No such file or directory."},
        {dir.path().string(), "Cannot write " + dir.path().string() + ": Is a directory."},
        {"", "No file name was given."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(writeFileAtomically(c.path, "bytes"), c.message);
    }
    // Nothing left beside the picture: no part file of a failed or finished write.
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

} // namespace
} // namespace velmo::exporting
