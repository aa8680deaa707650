// The CSI transport against drivers that break the rules: media entity ids
// that do not grow, buffer timestamps at the ends of the 64-bit range.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "sensor/csi/V4l2Compat.h"
#include "tests/cpp/sensor/CsiTestSupport.h"

using namespace Norvane;
using namespace csitest;

namespace {

// A media controller that answers every enumeration with the same entity,
// whose id has the top bit set: asking for the one after it gives it again.
class StuckMedia : public sim::SimNode {
public:
    std::atomic<int> enumerations{0};
    StuckMedia() { charDevice = true; }
    int ioctl(unsigned long request, void* arg) override {
        if (request != MEDIA_IOC_ENUM_ENTITIES) return -ENOTTY;
        ++enumerations;
        auto* d = static_cast<media_entity_desc*>(arg);
        std::memset(d, 0, sizeof *d);
        d->id = MEDIA_ENT_ID_FLAG_NEXT | 1;
        std::strncpy(d->name, "unicam-image", sizeof d->name - 1);
        return 0;
    }
};

TEST(CsiHostileDriver, AMediaWalkWhoseIdsDoNotGrowEnds) {
    CsiRig rig(sim::buildRaspberryPi4);
    auto media = std::make_shared<StuckMedia>();
    rig.k.addNode("/dev/media0", media);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor->open(rig.info), -2) << "no sensor entity: the bus lookup fails";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: I2C bus name doesn't match any bus present!\n");
    // Twice while looking for the video node among its entities, twice in
    // the walk: each time the second answer repeats the id and ends it.
    EXPECT_EQ(media->enumerations.load(), 4);
    EXPECT_EQ(rig.sensor->subdeviceCount(), 0);
    rig.sensor->close();
    EXPECT_EQ(rig.k.openDescriptors(), 0);
}

TEST(CsiHostileDriver, TheReceiverSearchEndsOnARepeatedIdToo) {
    CsiRig rig(sim::buildRaspberryPi5);
    auto media = std::make_shared<StuckMedia>();
    rig.k.addNode("/dev/media0", media);
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.sensor->open(rig.info), -2);
    std::string err = testing::internal::GetCapturedStderr();
    const std::string query = std::string("Query entity failed: ") + std::strerror(EINVAL) + "\n";
    EXPECT_EQ(err.find(query), 0u) << err;
    rig.sensor->close();
    EXPECT_EQ(rig.k.openDescriptors(), 0);
}

TEST(CsiHostileDriver, TimestampsAtTheEndsOfTheRangeNeitherOverflowNorJoin) {
    CsiRig rig(sim::buildRaspberryPi4);
    ASSERT_EQ(rig.sensor->open(rig.info), 0);
    ASSERT_EQ(rig.sensor->start(), 0);
    rig.sensor->framesPerCapture = 2;
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min(), kMax = std::numeric_limits<int64_t>::max();
    // The first two are further apart than any 64-bit microsecond count: the
    // capture restarts at the second, which the third follows 1 ms later.
    rig.board.video->pushFrame({makeFrame(1), kMin, 0, -1});
    rig.board.video->pushFrame({makeFrame(2), kMax, 0, -1});
    rig.board.video->pushFrame({makeFrame(3), kMax, 1000, -1});
    std::vector<uint8_t> out;
    int64_t ts = 0;
    ASSERT_EQ(rig.capture(out, ts), 0);
    std::vector<uint8_t> want = makeFrame(2), third = makeFrame(3);
    want.insert(want.end(), third.begin(), third.end());
    EXPECT_TRUE(out == want) << "the capture is the last two frames";
    EXPECT_EQ(ts, int64_t(uint64_t(kMax) * 1000u + 1u)) << "milliseconds, wrapped";
    EXPECT_EQ(rig.sensor->stop(), 0);
    rig.sensor->close();
}

}  // namespace
