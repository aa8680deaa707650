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

TEST(CsiCopy, RawCopiesAtMostOneFrame) {
    auto a = ramp(20);
    std::vector<uint8_t> dst(16, 0xEE);
    EXPECT_EQ(copyRaw(a.data(), 10, dst.data(), dst.size(), 240), 10u) << "a short buffer";
    EXPECT_EQ(copyRaw(a.data(), a.size(), dst.data(), dst.size(), 240), 16u) << "a buffer longer than the frame";
    EXPECT_EQ(dst, std::vector<uint8_t>(a.begin(), a.begin() + 16));
}

TEST(CsiCopy, Stride512KeepsTheFirst480BytesOfEachLine) {
    auto src = ramp(3 * 512);
    std::vector<uint8_t> dst(3 * 480, 0xEE);
    EXPECT_EQ(copyStride512(src.data(), src.size(), dst.data(), dst.size(), 240), 3u * 480);
    for (size_t line = 0; line < 3; ++line)
        for (size_t i = 0; i < 480; ++i) ASSERT_EQ(dst[line * 480 + i], src[line * 512 + i]) << line << " " << i;

    std::vector<uint8_t> small(2 * 480, 0);
    EXPECT_EQ(copyStride512(src.data(), src.size(), small.data(), small.size(), 240), 2u * 480)
        << "only the lines that fit";
    EXPECT_EQ(copyStride512(src.data(), 512 + 100, small.data(), small.size(), 240), 480u)
        << "a partial last line is not read past the source";
}

TEST(CsiCopy, Block960ReordersEachWholeBlockAndCopiesAShortLastOne) {
    auto src = ramp(3 * 960, 3);
    auto reordered = [&](size_t b) {
        const uint8_t* blk = src.data() + b * 960;
        std::vector<uint8_t> v(blk, blk + 448);
        v.insert(v.end(), blk + 896, blk + 928);
        v.insert(v.end(), blk + 448, blk + 928);
        return v;
    };
    std::vector<uint8_t> want = reordered(0);
    auto second = reordered(1);
    want.insert(want.end(), second.begin(), second.end());
    std::vector<uint8_t> dst(2 * 960, 0xEE);
    EXPECT_EQ(copyBlock960(src.data(), src.size(), dst.data(), dst.size(), 240), 1920u);
    EXPECT_EQ(dst, want);

    // Frames of 960 + 100 and 960 + 950 bytes end in a short block.
    for (size_t rest : {size_t(100), size_t(950)}) {
        std::vector<uint8_t> frame(960 + rest, 0xEE);
        EXPECT_EQ(copyBlock960(src.data(), 960 + rest, frame.data(), frame.size(), 240), frame.size()) << rest;
        std::vector<uint8_t> expect = reordered(0);
        expect.insert(expect.end(), src.begin() + 960, src.begin() + long(960 + rest));
        EXPECT_EQ(frame, expect) << rest;
        EXPECT_EQ(copyBlock960(src.data(), 960 + rest - 1, frame.data(), frame.size(), 240), 960u)
            << "a source one byte short leaves the frame incomplete";
    }
    std::vector<uint8_t> two(2 * 960, 0);
    EXPECT_EQ(copyBlock960(src.data(), 960 + 959, two.data(), two.size(), 240), 960u)
        << "a missing whole block is not made up from a short one";
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
    EXPECT_EQ(unpackRaw12(src.data(), src.size(), dst.data(), dst.size(), width), 24u);
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
}

TEST(CsiCopy, UnpackRaw12TakesWholeRowsOnly) {
    std::vector<uint8_t> src(64, 0x11);
    std::vector<uint8_t> dst(8, 0xEE);
    for (size_t length : {size_t(0), size_t(3), size_t(5)}) {
        EXPECT_EQ(unpackRaw12(src.data(), length, dst.data(), dst.size(), 4), 0u) << length;
    }
    EXPECT_EQ(dst, std::vector<uint8_t>(8, 0xEE));
    for (size_t length : {size_t(6), size_t(8), src.size()}) {
        EXPECT_EQ(unpackRaw12(src.data(), length, dst.data(), dst.size(), 4), 8u)
            << "one row of four samples fills eight bytes, whatever follows it";
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
        EXPECT_EQ(unpackRaw12(src.data(), src.size(), dst.data(), dst.size(), width), dst.size()) << width;
        for (size_t i = 0; i < want.size(); ++i)
            ASSERT_EQ(uint16_t(dst[2 * i] | dst[2 * i + 1] << 8), want[i]) << width << " sample " << i;
    }
}
