#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "core/NorvaneTOFCamera.h"

using namespace Norvane;

// Plain enumerations convert to int; scoped ones do not. Scripts see the
// difference (integer-comparable against strict members).
static_assert(std::is_convertible<TofErrorCode, int>::value, "TofErrorCode is plain");
static_assert(std::is_convertible<DeviceType, unsigned>::value, "DeviceType is plain");
static_assert(!std::is_convertible<FrameType, int>::value, "FrameType is scoped");
static_assert(!std::is_convertible<Connection, int>::value, "Connection is scoped");
static_assert(!std::is_convertible<CameraCtrl, int>::value, "CameraCtrl is scoped");
static_assert(!std::is_convertible<TofWorkMode, int>::value, "TofWorkMode is scoped");
static_assert(!std::is_convertible<TofFrameWorkMode, int>::value, "TofFrameWorkMode is scoped");
static_assert(std::is_same<std::underlying_type<TofErrorCode>::type, int32_t>::value, "");
static_assert(std::is_same<std::underlying_type<DeviceType>::type, uint32_t>::value, "");
static_assert(std::is_same<std::underlying_type<FrameType>::type, int32_t>::value, "");
static_assert(std::is_same<std::underlying_type<Connection>::type, int32_t>::value, "");
static_assert(std::is_same<std::underlying_type<CameraCtrl>::type, int32_t>::value, "");
static_assert(std::is_same<std::underlying_type<TofWorkMode>::type, int32_t>::value, "");
static_assert(std::is_same<std::underlying_type<TofFrameWorkMode>::type, int32_t>::value, "");
static_assert(std::is_same<std::underlying_type<PlatformType>::type, int32_t>::value, "");

// The records are plain 32-bit fields in the documented order.
static_assert(sizeof(CameraInfo) == 32, "eight 32-bit fields");
static_assert(offsetof(CameraInfo, index) == 0 && offsetof(CameraInfo, connect) == 4 &&
                  offsetof(CameraInfo, device_type) == 8 && offsetof(CameraInfo, type) == 12 &&
                  offsetof(CameraInfo, width) == 16 && offsetof(CameraInfo, height) == 20 &&
                  offsetof(CameraInfo, bit_width) == 24 && offsetof(CameraInfo, bpp) == 28,
              "CameraInfo field order");
static_assert(offsetof(FrameDataFormat, width) == 0 && offsetof(FrameDataFormat, height) == 4 &&
                  offsetof(FrameDataFormat, type) == 8 && offsetof(FrameDataFormat, timestamp) == 16,
              "FrameDataFormat field order");
static_assert(std::is_trivially_copyable<CameraInfo>::value && std::is_trivially_copyable<FrameDataFormat>::value,
              "plain copyable records");

TEST(ToStr, ListedCodes) {
    EXPECT_STREQ(to_str(NorvaneSuccess), "Success");
    EXPECT_STREQ(to_str(NorvaneInvalidParameter), "Invalid parameter");
    EXPECT_STREQ(to_str(NorvaneNoCache), "No cache");
    EXPECT_STREQ(to_str(NorvaneUnkownDevice), "Unkown device");
    EXPECT_STREQ(to_str(NorvaneNotImplemented), "Not implemented");
    EXPECT_STREQ(to_str(NorvaneSkipFrame), "Skip frame");
    EXPECT_STREQ(to_str(NorvaneSystemError), "System error");
    EXPECT_STREQ(to_str(NorvaneUnkownError), "Unknown error");
}

TEST(ToStr, UnlistedCodesAreUnknown) {
    for (int code : {-3, 5, 239, 241, 256, -1000, 2147483647}) {
        EXPECT_STREQ(to_str(static_cast<TofErrorCode>(code)), "Unknown error") << code;
    }
}

TEST(Enumerations, NumbersWithGapsAndSharedNames) {
    EXPECT_EQ(static_cast<int>(TofWorkMode::BG_OUTDOOR), 7);
    EXPECT_EQ(static_cast<int>(TofFrameWorkMode::BG_OUTDOOR), 18);
    EXPECT_EQ(static_cast<int>(TofWorkMode::GRAY_ONLY), 8);
    EXPECT_EQ(static_cast<int>(TofFrameWorkMode::GRAY_ONLY), 19);
    EXPECT_EQ(static_cast<int>(FrameType::CONFIDENCE), 1);
    EXPECT_EQ(static_cast<int>(FrameType::DEPTH), 2);
    EXPECT_EQ(static_cast<int>(CameraCtrl::CONFIG_DIR_EXT), 256);
    EXPECT_EQ(static_cast<int>(TofFrameWorkMode::CUSTOM), 20);
    EXPECT_EQ(NorvaneSkipFrame, 240);
    EXPECT_EQ(HQVGA, 1u);
}
