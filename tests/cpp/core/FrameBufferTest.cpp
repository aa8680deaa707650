#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "core/NorvaneTOFCamera.h"

using namespace Norvane;

namespace {

constexpr FrameType kAllTypes[] = {FrameType::RAW,       FrameType::CONFIDENCE, FrameType::DEPTH,
                                   FrameType::AMPLITUDE, FrameType::CACHE,      FrameType(7)};

FrameDataFormat sentinel() { return FrameDataFormat{0xDEAD, 0xBEEF, FrameType(99), 0x1234}; }

bool untouched(const FrameDataFormat& f) {
    FrameDataFormat s = sentinel();
    return f.width == s.width && f.height == s.height && f.type == s.type && f.timestamp == s.timestamp;
}

// Which types a buffer answers to, through both getData and getFormat; a
// refused getFormat leaves the record as it was.
void expectAnswers(NorvaneFrameBuffer& b, std::initializer_list<FrameType> answered) {
    for (FrameType t : kAllTypes) {
        bool expected = std::find(answered.begin(), answered.end(), t) != answered.end();
        FrameDataFormat f = sentinel();
        EXPECT_EQ(b.getData(t) != nullptr, expected) << "getData of " << int(t);
        EXPECT_EQ(b.getFormat(t, f), expected ? 0 : -1) << "getFormat of " << int(t);
        if (!expected) {
            EXPECT_TRUE(untouched(f)) << "refused getFormat of " << int(t) << " wrote the record";
        }
    }
}

}  // namespace

TEST(FrameBuffers, RawDataAnswersRawOnly) {
    RawData raw(FrameDataFormat{240, 720, FrameType::RAW, 0});
    expectAnswers(raw, {FrameType::RAW});
    FrameDataFormat f{};
    ASSERT_EQ(raw.getFormat(FrameType::RAW, f), 0);
    EXPECT_EQ(f.width, 240u);
    EXPECT_EQ(f.height, 720u);
    EXPECT_EQ(f.type, FrameType::RAW);
    // The plane is the full width x height, zeroed.
    auto* p = static_cast<int16_t*>(raw.getData(FrameType::RAW));
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[240 * 720 - 1], 0);
    p[240 * 720 - 1] = -5;
}

TEST(FrameBuffers, CacheDataAnswersCacheOnly) {
    CacheData cache(FrameDataFormat{240, 1440, FrameType::CACHE, 0});
    expectAnswers(cache, {FrameType::CACHE});
    auto* p = static_cast<uint8_t*>(cache.getData(FrameType::CACHE));
    std::memset(p, 0xAB, 240 * 1440);
}

TEST(FrameBuffers, DepthDataPlanesAndRecords) {
    DepthData d(FrameDataFormat{240, 180, FrameType::DEPTH, 0}, FrameDataFormat{240, 180, FrameType::CONFIDENCE, 0});
    expectAnswers(d, {FrameType::CONFIDENCE, FrameType::DEPTH, FrameType::AMPLITUDE});

    // Three separate planes.
    void* depth = d.getData(FrameType::DEPTH);
    void* amplitude = d.getData(FrameType::AMPLITUDE);
    void* confidence = d.getData(FrameType::CONFIDENCE);
    EXPECT_NE(depth, amplitude);
    EXPECT_NE(depth, confidence);
    EXPECT_NE(amplitude, confidence);
    for (void* p : {depth, amplitude, confidence}) static_cast<float*>(p)[240 * 180 - 1] = 1.0f;

    FrameDataFormat f{};
    ASSERT_EQ(d.getFormat(FrameType::AMPLITUDE, f), 0);
    EXPECT_EQ(f.type, FrameType::CONFIDENCE) << "amplitude shares the confidence record";
    ASSERT_EQ(d.getFormat(FrameType::DEPTH, f), 0);
    EXPECT_EQ(f.type, FrameType::DEPTH);
    EXPECT_EQ(f.timestamp, 0u);
}

TEST(FrameBuffers, TimestampsReachEveryRecord) {
    const uint64_t t = 0x0123456789ABCDEFull;
    DepthData d(FrameDataFormat{4, 2, FrameType::DEPTH, 0}, FrameDataFormat{4, 2, FrameType::CONFIDENCE, 0});
    d.setTimestamp(t);
    for (FrameType type : {FrameType::DEPTH, FrameType::CONFIDENCE, FrameType::AMPLITUDE}) {
        FrameDataFormat f{};
        ASSERT_EQ(d.getFormat(type, f), 0);
        EXPECT_EQ(f.timestamp, t) << int(type);
    }
    RawData r(FrameDataFormat{4, 2, FrameType::RAW, 0});
    r.setTimestamp(t);
    CacheData c(FrameDataFormat{4, 2, FrameType::CACHE, 0});
    c.setTimestamp(t + 1);
    FrameDataFormat f{};
    ASSERT_EQ(r.getFormat(FrameType::RAW, f), 0);
    EXPECT_EQ(f.timestamp, t);
    ASSERT_EQ(c.getFormat(FrameType::CACHE, f), 0);
    EXPECT_EQ(f.timestamp, t + 1);
}
