// One archive typed byte by byte, and the files the program must make of it,
// typed the same way: nothing here comes from the archive generator, the
// reader's layout constants or the encoders, so a fault in any of them shows.
#include <gtest/gtest.h>

#include <iterator>

#include "support.h"

namespace {

using namespace testing_support;

constexpr std::uint8_t E = 0xEE;  // bytes no field uses

// Offsets in the comments: where a record starts, then each field's place in it.
const std::uint8_t kArchive[] = {
    0x00, 0x01, 0x01, 0x00, 5, 0, 0, 0, E, E, E, E,  // 0 archive header: 0 version word, 4 five entries, 8 not used
    32, 0, 0, 0, 106, 0, 0, 0, 184, 0, 0, 0, 224, 0, 0, 0, 0x5B, 0x01, 0, 0,  // 12 offset table: 32, 106, 184, 224, 347

    1, 0, E, E, E, E, E, E,  // 32 entry "raw": 0 one frame; 2, 4 not used
    'r', 'a', 'w', 0, 'z', 'z', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 8 name, to its NUL
    80, 0, 0, 0, E, E, E, E,  // 40 frame 0's header at 80; 44 not used
    3, 0, 2, 0,               // 80 frame header: 0 Width 3, 2 Height 2
    5, 0, 0xFD, 0xFF,         // 4 xOffset 5, 6 yOffset -3: a plain frame does not use them
    9, 2,                     // 8 transparency index 9; 9 compression 2, not 1: raw
    0, 0, E, E, E, E,         // 10 no sub-frames; 12 not used
    100, 0, 0, 0,             // 16 pixels at 100
    1, 0, 7, 1, 0, 5,         // 100 pixels, top row first (read as a stream, well-formed: skip 3, skip 2)

    1, 0, E, E, E, E, E, E,   // 106 entry whose name field holds no NUL: 0 one frame; 2, 4 not used
    'r', 'l', 'e', '_', 'f', 'r', 'a', 'm', 'e', '_', 'w', 'i', 't', 'h', '_', 'a',  // 8 name, 32 characters
    '_', '3', '2', '_', 'b', 'y', 't', 'e', '_', 'n', 'a', 'm', 'e', '_', 'X', 'Y',
    154, 0, 0, 0, E, E, E, E,  // 40 frame 0's header at 154; 44 not used
    3, 0, 2, 0,               // 154 frame header: 0 Width 3, 2 Height 2
    0, 0, 0, 0,               // 4 xOffset, 6 yOffset
    0x2A, 1,                  // 8 transparency index 42; 9 run-length
    0, 0, E, E, E, E,         // 10 no sub-frames; 12 not used
    174, 0, 0, 0,             // 16 stream at 174
    3, 0, 1 << 1 | 1, 1 << 2 | 2, 0xF9,  // 174 row 0: 3 bytes of operations: skip 1, repeat 0xF9 twice
    3, 0, 1 << 2, 0x10, 0x89,            // 179 row 1: 3 bytes: copy 0x10 0x89, the last pixel left

    0, 0, E, E, E, E, E, E,   // 184 entry "none": 0 no frames, so 40 bytes and the next entry behind; 2, 4 not used
    'n', 'o', 'n', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 8 name

    1, 0, E, E, E, E, E, E,   // 224 entry "composite": 0 one frame; 2, 4 not used
    'c', 'o', 'm', 'p', 'o', 's', 'i', 't', 'e', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 8
    0x10, 0x01, 0, 0, E, E, E, E,  // 40 frame 0's header at 272; 44 not used
    3, 0, 2, 0,               // 272 frame header: 0 Width 3, 2 Height 2
    1, 0, 0, 0,               // 4 xOffset 1, 6 yOffset 0
    0xFB, 0,                  // 8 transparency index 251, for what no sub-frame covers; 9 not run-length
    2, 0, E, E, E, E,         // 10 two sub-frames; 12 not used
    0x24, 0x01, 0, 0,         // 16 sub-frame table at 292
    0x2C, 0x01, 0, 0, 0x44, 0x01, 0, 0,  // 292 sub-frame table: headers at 300 and 324
    2, 0, 2, 0,               // 300 sub-frame A, at column 1 - 0, row 0 - 0: 0 Width 2, 2 Height 2
    0, 0, 0, 0,               // 4 xOffset 0, 6 yOffset 0
    7, 0,                     // 8 transparency index 7; 9 raw
    0, 0, E, E, E, E,         // 10 no sub-frames; 12 not used
    0x40, 0x01, 0, 0,         // 16 pixels at 320
    0xF9, 7, 0xFA, 0x89,      // 320 its pixels
    3, 0, 1, 0,               // 324 sub-frame B, at column 1 - 2, row 0 - (-1): 0 Width 3, 2 Height 1
    2, 0, 0xFF, 0xFF,         // 4 xOffset 2, 6 yOffset -1
    0, 0,                     // 8 transparency index 0; 9 raw
    0, 0, E, E, E, E,         // 10 no sub-frames; 12 not used
    0x58, 0x01, 0, 0,         // 16 pixels at 344
    0xFE, 0, 0xFD,            // 344 its pixels, the first clipped

    0xFF, 0xFF, E, E, E, E, E, E,  // 347 entry "minus", 40 bytes that end the file: 0 nFrames -1; 2, 4 not used
    'm', 'i', 'n', 'u', 's', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 8 name
};
static_assert(sizeof kArchive == 387);

const Bytes kTgaHeader = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 2, 0, 24, 0};  // type 2, 3 x 2, 24 bits, bottom row first
const Bytes kBmpHeader = {
    'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // signature, file size 78, reserved, pixels at 54
    40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0,  // info header size, width 3, height 2, planes, 24 bits
    0, 0, 0, 0, 24, 0, 0, 0,                          // no compression, 24 bytes of pixels
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // resolutions, colours used, important colours
};

// Each picture's rows, blue, green, red for each pixel, as the palette gives
// them: 0 000000, 1 800000, 5 800080, 7 C0C0C0, 16 FFEBF3, 42 004727, 137
// 1B4B77, 249 FF0000, 251 FFFF00, 253 FF00FF.
struct Picture {
    std::string name;
    Bytes top, bottom;
};
const Picture kPictures[] = {
    {"raw", {0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0xC0, 0xC0, 0xC0},   // 1 0 7
            {0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0x00, 0x80}},  // 1 0 5
    {"rle_frame_with_a_32_byte_name_X",
     {0x27, 0x47, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x00, 0xFF},   // 42 249 249
     {0xF3, 0xEB, 0xFF, 0x77, 0x4B, 0x1B, 0x27, 0x47, 0x00}},  // 16 137 42
    {"composite", {0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0xFF},   // 251 249 251
                  {0x00, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0x77, 0x4B, 0x1B}},  // 251 253 137
};

TEST(Literal, ArchiveToFilesByteForByte) {
    ScratchDir dir;
    write_file(dir.path / "in.gaf", Bytes(std::begin(kArchive), std::end(kArchive)));
    for (const zeftil::OutputFormat format : {zeftil::OutputFormat::tga, zeftil::OutputFormat::bmp}) {
        const bool bmp = format == zeftil::OutputFormat::bmp;
        const RunResult r = run_zeftil(args_for(format, "in.gaf"), dir.path);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out + r.err, "");
        for (const Picture& p : kPictures) {
            Bytes expected = bmp ? kBmpHeader : kTgaHeader;
            for (const Bytes* row : {&p.bottom, &p.top}) {
                expected.insert(expected.end(), row->begin(), row->end());
                expected.insert(expected.end(), bmp ? 3 : 0, 0);  // rows of 9 bytes padded to 12
            }
            EXPECT_EQ(read_file(dir.path / (p.name + extension(format))), expected) << p.name;
        }
    }
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"composite.bmp", "composite.tga", "in.gaf", "raw.bmp", "raw.tga",
                                                            "rle_frame_with_a_32_byte_name_X.bmp",
                                                            "rle_frame_with_a_32_byte_name_X.tga"}));
}

}  // namespace
