// Files the program writes, read back by an independent decoder (stb_image).
#include <gtest/gtest.h>

#include <memory>

#include "gaf/gaf.h"
#include "image/palette.h"
#include "stb_image.h"
#include "support.h"

namespace {

using namespace testing_support;

TEST(RoundTrip, DemoArchiveThroughStbImage) {
    ScratchDir dir;
    const std::filesystem::path demo = std::filesystem::absolute(ZEFTIL_SOURCE_DIR) / "examples" / "demo.gaf";
    ASSERT_EQ(run_zeftil({demo.string()}, dir.path).exit_status, 0);
    ASSERT_EQ(run_zeftil({"-b", demo.string()}, dir.path).exit_status, 0);

    zeftil::GafArchive archive;
    ASSERT_EQ(zeftil::load_gaf(demo.string(), archive).error, zeftil::ArchiveError::none);
    ASSERT_GT(archive.nEntries, 0);
    bool saw_run_length = false, saw_composite = false, saw_frameless = false;
    for (std::int32_t i = 0; i < archive.nEntries; ++i) {
        zeftil::GafEntry entry;
        ASSERT_EQ(zeftil::read_entry(archive, i, entry).error, zeftil::EntryError::none);
        saw_run_length |= entry.frame.encoding == zeftil::FrameEncoding::run_length;
        saw_composite |= entry.frame.encoding == zeftil::FrameEncoding::composite;
        if (entry.nFrames < 1) {  // no frames, no file
            saw_frameless = true;
            EXPECT_FALSE(std::filesystem::exists(dir.path / (entry.name + ".tga")));
            continue;
        }
        const Bytes indices = pixels_of(archive, entry.frame);
        for (const char* ext : {".tga", ".bmp"}) {
            const Bytes file = read_file(dir.path / (entry.name + ext));
            int width = 0, height = 0, channels = 0;
            const std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
                stbi_load_from_memory(file.data(), static_cast<int>(file.size()), &width, &height, &channels, 3),
                stbi_image_free);
            ASSERT_TRUE(pixels) << entry.name << ext << ": " << stbi_failure_reason();
            ASSERT_EQ(width, entry.frame.Width);
            ASSERT_EQ(height, entry.frame.Height);
            for (std::size_t p = 0; p < indices.size(); ++p) {
                const zeftil::Rgb c = zeftil::gaf_palette[indices[p]];
                ASSERT_EQ(Bytes(pixels.get() + 3 * p, pixels.get() + 3 * p + 3), (Bytes{c.r, c.g, c.b}))
                    << entry.name << ext << " pixel " << p;
            }
        }
    }
    EXPECT_TRUE(saw_run_length);
    EXPECT_TRUE(saw_composite);
    EXPECT_TRUE(saw_frameless);
}

}  // namespace
