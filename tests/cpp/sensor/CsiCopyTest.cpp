// The copy routines against hand-built driver buffers, byte for byte.
#include <gtest/gtest.h>

#include <vector>

#include "sensor/csi/CsiCopy.h"

using namespace Norvane::csi;

namespace {
std::vector<uint8_t> ramp(size_t n, uint8_t start = 0) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(start + i * 7);
    return v;
}
}  // namespace

TEST(CsiCopy, RawCopiesAppendAndStopAtTheCapacity) {
    auto a = ramp(10), b = ramp(10, 100);
    std::vector<uint8_t> dst(16, 0xEE);
    size_t pos = 0;
    copyRaw(a.data(), dst.data(), a.size(), 240, pos, dst.size());
    EXPECT_EQ(pos, 10u);
    copyRaw(b.data(), dst.data(), b.size(), 240, pos, dst.size());
    EXPECT_EQ(pos, 16u);
    std::vector<uint8_t> want(a);
    want.insert(want.end(), b.begin(), b.begin() + 6);
    EXPECT_EQ(dst, want);
    copyRaw(b.data(), dst.data(), b.size(), 240, pos, dst.size());
    EXPECT_EQ(pos, 16u) << "a full buffer takes nothing more";
}

TEST(CsiCopy, Stride512KeepsTheFirst480BytesOfEachLine) {
    auto src = ramp(3 * 512);
    std::vector<uint8_t> dst(3 * 480 + 480, 0xEE);
    size_t pos = 480;  // continues after an earlier frame
    copyStride512(src.data(), dst.data(), src.size(), 240, pos, dst.size());
    EXPECT_EQ(pos, 4u * 480);
    for (size_t line = 0; line < 3; ++line)
        for (size_t i = 0; i < 480; ++i) ASSERT_EQ(dst[480 + line * 480 + i], src[line * 512 + i]) << line << " " << i;
    EXPECT_EQ(dst[0], 0xEE);

    std::vector<uint8_t> small(2 * 480, 0);
    pos = 0;
    copyStride512(src.data(), small.data(), src.size(), 240, pos, small.size());
    EXPECT_EQ(pos, 2u * 480) << "only the lines that fit";
    pos = 0;
    copyStride512(src.data(), small.data(), 512 + 100, 240, pos, small.size());
    EXPECT_EQ(pos, 480u) << "a partial last line is not read past the source";
}

TEST(CsiCopy, Block960ReordersEachBlock) {
    auto src = ramp(2 * 960, 3);
    std::vector<uint8_t> dst(2 * 960, 0xEE);
    size_t pos = 0;
    copyBlock960(src.data(), dst.data(), src.size(), 240, pos, dst.size());
    EXPECT_EQ(pos, 1920u);
    std::vector<uint8_t> want;
    for (size_t b = 0; b < 2; ++b) {
        const uint8_t* blk = src.data() + b * 960;
        want.insert(want.end(), blk, blk + 448);
        want.insert(want.end(), blk + 896, blk + 928);
        want.insert(want.end(), blk + 448, blk + 928);
    }
    EXPECT_EQ(dst, want);
    pos = 0;
    std::vector<uint8_t> one(960 + 959, 0);
    copyBlock960(src.data(), one.data(), src.size(), 240, pos, one.size());
    EXPECT_EQ(pos, 960u);
}

TEST(CsiCopy, UnpackRaw12SplitsPackedPairsAndSkipsLinePadding) {
    // Width 4: 6 bytes of pixels per line, padded to 16.
    const uint32_t width = 4;
    std::vector<uint8_t> src(3 * 16, 0x55);
    const uint8_t line0[6] = {0xAB, 0xCD, 0x12, 0xFF, 0x00, 0x9E};
    const uint8_t line1[6] = {0x01, 0x02, 0x43, 0x80, 0x7F, 0x00};
    std::copy(line0, line0 + 6, src.begin());
    std::copy(line1, line1 + 6, src.begin() + 16);
    std::vector<uint8_t> dst(3 * width * 2, 0xEE);
    size_t pos = 0;
    // 48 bytes: unpacking stops at byte 40, inside the third line's padding.
    unpackRaw12(src.data(), dst.data(), src.size(), width, pos, dst.size());
    auto px = [&](size_t i) { return uint16_t(dst[2 * i] | dst[2 * i + 1] << 8); };
    EXPECT_EQ(px(0), (0xAB << 4) | 0x2);
    EXPECT_EQ(px(1), (0xCD << 4) | 0x1);
    EXPECT_EQ(px(2), (0xFF << 4) | 0xE);
    EXPECT_EQ(px(3), (0x00 << 4) | 0x9);
    EXPECT_EQ(px(4), (0x01 << 4) | 0x3);
    EXPECT_EQ(px(5), (0x02 << 4) | 0x4);
    EXPECT_EQ(px(6), (0x80 << 4) | 0x0);
    EXPECT_EQ(px(7), (0x7F << 4) | 0x0);
    EXPECT_EQ(px(8), (0x55 << 4) | 0x5) << "the third line, from the filler bytes";
    EXPECT_EQ(pos, 12u);
}

TEST(CsiCopy, UnpackRaw12TakesWholeRowsOnly) {
    std::vector<uint8_t> src(64, 0x11);
    std::vector<uint8_t> dst(8, 0xEE);
    for (size_t length : {size_t(0), size_t(3), size_t(5)}) {
        size_t pos = 0;
        unpackRaw12(src.data(), dst.data(), length, 4, pos, dst.size());
        EXPECT_EQ(pos, 0u) << length;
    }
    EXPECT_EQ(dst, std::vector<uint8_t>(8, 0xEE));
    for (size_t length : {size_t(6), size_t(8), src.size()}) {
        size_t pos = 0;
        unpackRaw12(src.data(), dst.data(), length, 4, pos, dst.size());
        EXPECT_EQ(pos, 4u) << "one row of four samples fills eight bytes, whatever follows it";
    }
}

TEST(CsiCopy, UnpackRaw12WritesTheLastSamplesOfUnpaddedRows) {
    // 320 and 640 pixels pack into 480 and 960 bytes: rows without padding.
    for (uint32_t width : {320u, 640u, 32u}) {
        const uint32_t rows = 3;
        const size_t line = width * 3 / 2;
        ASSERT_EQ(line % 16, 0u) << width;
        std::vector<uint8_t> src(line * rows);
        std::vector<uint16_t> want(size_t(width) * rows);
        for (size_t i = 0; i < want.size(); i += 2) {
            want[i] = uint16_t((i * 13) & 0xFFF);
            want[i + 1] = uint16_t((i * 29 + 7) & 0xFFF);
            uint8_t* o = &src[i / 2 * 3];
            o[0] = uint8_t(want[i] >> 4);
            o[1] = uint8_t(want[i + 1] >> 4);
            o[2] = uint8_t((want[i] & 0xF) | (want[i + 1] & 0xF) << 4);
        }
        std::vector<uint8_t> dst(want.size() * 2, 0xEE);
        size_t pos = 0;
        unpackRaw12(src.data(), dst.data(), src.size(), width, pos, dst.size());
        EXPECT_EQ(pos, want.size()) << width;
        for (size_t i = 0; i < want.size(); ++i)
            ASSERT_EQ(uint16_t(dst[2 * i] | dst[2 * i + 1] << 8), want[i]) << width << " sample " << i;
    }
}
