// The sensor transport for a camera on a board's MIPI-CSI receiver: V4L2
// streaming with memory-mapped buffers, the media-controller or sysfs
// discovery of the sensor, and the sensor's I2C bus.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "sensor/NorvaneTOFSensor.h"
#include "sensor/Platform.h"
#include "sensor/csi/CsiCopy.h"
#include "sensor/csi/CsiHandles.h"

namespace Norvane {

struct MediaEntity;
struct MediaGraph;
struct MediaLink;

class NorvaneTOFCSISensor : public NorvaneTOFSensor {
public:
    static constexpr int kMaxSubdevs = 4;
    static constexpr int kBufferCount = 8;

    NorvaneTOFCSISensor(const char* devicePath, PlatformType platform, int inputIndex = 0);
    // Releases whatever is still open or mapped.
    ~NorvaneTOFCSISensor() override;
    NorvaneTOFCSISensor(const NorvaneTOFCSISensor&) = delete;
    NorvaneTOFCSISensor& operator=(const NorvaneTOFCSISensor&) = delete;

    int open(CameraInfo& info) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getCameraInfo() override;
    int getFrame(uint8_t* data, int64_t* timestamp) override;
    int setControl(int ctrl, int value) override;
    int getControl(int ctrl, int* value) override;

    // Negotiates the stored frame size with the video node and the
    // sub-devices and reads it back: 0 when the driver took it.
    int setFormat();
    // Routes the receiver and registers its sub-devices and the sensor's
    // (media-controller boards). Its outcome shows in the members it fills.
    void setupMediaPipeline(int videoFd);

    // What discovery found.
    const char* busText() const { return i2cBusText; }
    int subdeviceCount() const { return subdevCount; }
    uint32_t bufferKind() const { return bufferType; }
    const char* mediaNode() const { return mediaPath; }

private:
    int readSysfsBusName();
    int controlFd() const;
    int writeFrameRate(int value);
    int waitForFrame(int timeoutMs);
    int queueError();
    bool deviceGone();
    int readLayout(uint32_t w, uint32_t h);
    void freeBuffers(int& failed);
    void releaseBuffers();
    bool addSubdev(int fd);
    int resolveEntityNode(unsigned major, unsigned minor);
    // The media graph from the sensor to this node (CsiDiscovery.cpp).
    bool routeReceiver(int mediaFd, const MediaGraph& graph, const MediaLink& ours);
    bool registerPath(const MediaGraph& graph, const MediaEntity& sensor, const std::vector<MediaLink>& path);
    bool takeSensorName(const char* name);
    bool sensorReadOnly();

    csi::UniqueFd videoFd;
    csi::UniqueFd subdevFds[kMaxSubdevs];
    uint8_t sensorSubdevIndex = 0;
    uint8_t subdevCount = 0;
    bool sensorFound = false;
    char i2cBusText[9] = {};
    csi::UniqueFd i2cFd;
    uint16_t chipAddress = 0;
    std::atomic<int> frameRate{0};
    int inputIndex;
    PlatformType platform;
    char devicePath[80] = {};
    char mediaPath[80] = {};
    uint32_t bufferType = 1;
    CameraInfo info{};
    // What discovery found of the pipeline: the pad of each sub-device on the
    // path from the sensor to the node, whether the node configures the
    // pipeline itself (read-only sub-devices), the chip address the names give.
    uint16_t subdevPads[kMaxSubdevs] = {};
    bool nodeCentric = false;
    uint16_t namedChipAddress = 0;
    // FMT_WIDTH / FMT_HEIGHT may be set from any thread.
    std::atomic<uint32_t> width{0}, height{0};

    // Streaming state, set by start before the capture thread runs.
    csi::Mapping buffers[kBufferCount];
    uint32_t bufferCount = 0;
    uint32_t streamWidth = 0, streamHeight = 0;
    csi::FrameLayout layout;  // how the driver lays a frame out, read back by setFormat
    long errorPauseMs = 0;  // the capture thread's current pause after a queue error
    // Capture thread only: the device answered as gone; the sequence number
    // of the last buffer dequeued and of the last one that began a capture.
    bool gone = false;
    bool sequenceKnown = false, realigning = false;
    uint32_t lastSequence = 0, captureSequence = 0;
};

}  // namespace Norvane
