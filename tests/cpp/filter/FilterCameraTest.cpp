// The filter chain on the capture thread: settings handed over while
// streaming, and the temporal state across restarts.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "tests/cpp/core/CameraRig.h"

using namespace Norvane;
using namespace Norvane::testing;

namespace {

constexpr short kTimeoutMs = 2000;

// The scripted device writes the decode's number into depth and amplitude
// alike: an unfiltered frame has depth == amplitude everywhere.
struct Seen {
    bool allRemovedOutOfRange = true;
    bool unfiltered = true;
    uint64_t capture = 0;
};

Seen look(NorvaneTOFCamera& cam) {
    Seen s;
    NorvaneFrameBuffer* f = cam.requestFrame(kTimeoutMs);
    if (!f) {
        ADD_FAILURE() << "no frame";
        return Seen{false, false, 0};
    }
    auto* frame = dynamic_cast<DepthData*>(f);
    FrameDataFormat format{};
    EXPECT_TRUE(frame && frame->getFormat(FrameType::DEPTH, format) == 0);
    const auto* depth = static_cast<const float*>(f->getData(FrameType::DEPTH));
    const auto* amplitude = static_cast<const float*>(f->getData(FrameType::AMPLITUDE));
    for (uint32_t i = 0; frame && i < format.width * format.height; ++i) {
        const uint8_t code = frame->getInvalid()[i];
        if (!(depth[i] == 0.0f && code == uint8_t(InvalidReason::OUT_OF_RANGE))) s.allRemovedOutOfRange = false;
        if (!(depth[i] == amplitude[i] && code == 0)) s.unfiltered = false;
    }
    s.capture = f->getCaptureIndex();
    EXPECT_EQ(cam.releaseFrame(f), NorvaneSuccess);
    return s;
}

FilterSettings rangeBelowEveryDepth() {
    FilterSettings s;
    s.range = {true, 0.0f, 0.5f};  // the scripted depths are 1, 2, 3, ...
    return s;
}

TEST(FiltersOnTheCaptureThread, SettingsFromAnotherThreadApplyWhileStreaming) {
    Rig rig;
    rig.openScripted();
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), NorvaneSuccess);
    EXPECT_TRUE(look(*rig.cam).unfiltered) << "no filters set: the decode's output";

    // A second thread keeps setting while the capture thread takes them over.
    std::atomic<bool> done{false};
    std::thread setter([&] {
        while (!done.load()) rig.cam->setFilters(rangeBelowEveryDepth());
    });
    EXPECT_TRUE(eventually([&] { return look(*rig.cam).allRemovedOutOfRange; }));
    done.store(true);
    setter.join();

    std::thread off([&] { EXPECT_EQ(rig.cam->setFilters(FilterSettings{}), NorvaneSuccess); });
    off.join();
    EXPECT_TRUE(eventually([&] { return look(*rig.cam).unfiltered; }));
    EXPECT_EQ(rig.cam->stop(), NorvaneSuccess);
}

TEST(FiltersOnTheCaptureThread, SetBeforeStartAppliesFromTheFirstFrame) {
    Rig rig;
    rig.openScripted();
    ASSERT_EQ(rig.cam->setFilters(rangeBelowEveryDepth()), NorvaneSuccess);
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), NorvaneSuccess);
    EXPECT_TRUE(look(*rig.cam).allRemovedOutOfRange);
    EXPECT_EQ(rig.cam->stop(), NorvaneSuccess);
}

TEST(FiltersOnTheCaptureThread, BadSettingsAreRefusedAndChangeNothing) {
    Rig rig;
    rig.openScripted();
    ASSERT_EQ(rig.cam->setFilters(rangeBelowEveryDepth()), NorvaneSuccess);
    FilterSettings bad;
    bad.spatial = {true, 0.0f, 20.0f, 2};
    EXPECT_EQ(rig.cam->setFilters(bad), NorvaneInvalidParameter);
    EXPECT_TRUE(rig.cam->getFilters().range.enabled);
    EXPECT_FALSE(rig.cam->getFilters().spatial.enabled);
}

TEST(FiltersOnTheCaptureThread, TemporalStateStartsAfreshAtEveryStart) {
    // With the average on, only the first capture of a run keeps its depth
    // (= amplitude): later ones lag behind the rising depths, and so would
    // the first of a run if the average carried over from the last run.
    // Captures are let through one at a time, so each one is seen.
    FilterSettings s;
    s.temporal = {true, 0.5f, 100000.0f, 1, 1};
    Rig rig;
    rig.openScripted([](sim::ScriptedSensor& sensor) { sensor.setGated(true); });
    ASSERT_EQ(rig.cam->setFilters(s), NorvaneSuccess);
    for (int run = 0; run < 3; ++run) {
        ASSERT_EQ(rig.cam->start(FrameType::DEPTH), NorvaneSuccess);
        for (uint64_t n = 0; n < 3; ++n) {
            rig.sensor->allow(1);
            const Seen seen = look(*rig.cam);
            ASSERT_EQ(seen.capture, n) << "run " << run;
            EXPECT_EQ(seen.unfiltered, n == 0) << "run " << run << " capture " << n;
        }
        ASSERT_EQ(rig.cam->stop(), NorvaneSuccess);
    }
}

}  // namespace
