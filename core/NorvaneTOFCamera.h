// Chief header of the Norvane depth-camera library: everything a C++ user
// needs to drive a camera and read its frames.
//
//   Norvane::NorvaneTOFCamera cam;
//   cam.open(Norvane::Connection::CSI, 0);
//   cam.start(Norvane::FrameType::DEPTH);
//   if (Norvane::NorvaneFrameBuffer* f = cam.requestFrame(200)) {
//       auto* depth = static_cast<float*>(f->getData(Norvane::FrameType::DEPTH));
//       ...
//       cam.releaseFrame(f);
//   }
//   cam.stop();
//   cam.close();
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "core/Clock.h"
#include "core/FrameBuffer.h"
#include "core/FramePool.h"
#include "core/NorvaneTypes.h"
#include "device/NorvaneDevice.h"
#include "filter/FilterChain.h"
#include "filter/FilterSettings.h"
#include "sensor/NorvaneTOFSensor.h"
#include "sensor/Platform.h"

namespace Norvane {

// The camera: owns one sensor transport, one depth device, one frame pool
// and, while running, one capture thread.
//
// Lifecycle and control operations are meant for one thread at a time.
// requestFrame, releaseFrame and currentPool may be called from any thread.
// No operation throws.
class NorvaneTOFCamera {
public:
    NorvaneTOFCamera();
    // Stops and closes a running or open camera, and wakes every thread
    // waiting in requestFrame (it returns null).
    ~NorvaneTOFCamera();
    NorvaneTOFCamera(const NorvaneTOFCamera&) = delete;
    NorvaneTOFCamera& operator=(const NorvaneTOFCamera&) = delete;

    // --- lifecycle -----------------------------------------------------------
    // Builds the CSI ("/dev/video<index>") or USB transport and opens it;
    // -1 for any other connection or when this build has no such transport.
    TofErrorCode open(Connection connect, int index);
    // Opens the USB transport with a configuration file; -1 for a null path.
    TofErrorCode openWithFile(const char* path, int index);
    // Installs a caller's transport for `connect`/`index`, opens it and picks
    // the device. A camera still open is stopped and closed first.
    TofErrorCode openWithSensor(std::unique_ptr<NorvaneTOFSensor> sensor, Connection connect, int index);
    // Picks the device from the opened sensor's geometry: HQVGA for
    // 240 x 180 (four sensor frames per capture), the VGA device otherwise.
    TofErrorCode openPostHandle();
    // Installs a caller's device in place of the current one and binds it
    // to the current sensor; the result is the device's init.
    TofErrorCode installDevice(std::unique_ptr<NorvaneDevice> device);
    // Starts streaming `type` (RAW or DEPTH) with a fresh frame pool: range
    // re-applied, device prepare, sensor start, device start, each failure
    // passed through. Any other output is refused with -1 before anything is
    // touched; a failure after the sensor started stops device and sensor
    // again.
    TofErrorCode start(FrameType type);
    // Rebuilds the frame pool for `type`; -1 while running.
    TofErrorCode setOutputType(FrameType type);
    // Ends the capture thread and stops device and sensor; requests then
    // return the frames still ready, then null at once. Harmless when not
    // running.
    TofErrorCode stop();
    // Stops if running, then closes device and sensor.
    TofErrorCode close();
    CameraInfo getCameraInfo() const;

    // --- controls --------------------------------------------------------------
    // SKIP_FRAME, SKIP_FRAME_LOOP and AUTO_FRAME_RATE are held by the camera;
    // FRAME_RATE is checked against the value the device reports; every other
    // identifier goes to the device. Skipping drops SKIP_FRAME of every
    // SKIP_FRAME_LOOP captures: a value that would make the pair anything but
    // 0 <= SKIP_FRAME < SKIP_FRAME_LOOP is refused (1) and changes nothing,
    // so a longer cycle is set before a larger skip, a smaller skip before a
    // shorter cycle.
    TofErrorCode setControl(CameraCtrl ctrl, int value);
    TofErrorCode getControl(CameraCtrl ctrl, int* value);
    TofErrorCode setControlExt(CameraCtrl ctrl, const char* value);
    // Returns 0 and leaves `value` untouched.
    TofErrorCode getControlExt(CameraCtrl ctrl, const char** value);

    // --- depth filters -----------------------------------------------------------
    // The filter chain that depth frames pass on the capture thread, right
    // after the decode. Any thread, any time: a running camera applies it
    // from the next capture on, a stopped one at the next start. Refused
    // (NorvaneInvalidParameter, nothing changed) when validateFilterSettings
    // names a bad value. Every start begins the temporal filter afresh.
    TofErrorCode setFilters(const FilterSettings& settings);
    // The settings last accepted.
    FilterSettings getFilters() const;

    // --- frames ----------------------------------------------------------------
    // The oldest ready frame, waiting up to `timeout` ms (negative: without
    // limit, until a frame arrives, the camera is stopped, the pool is
    // replaced or the camera is destroyed). Null on time-out, before the
    // first pool, and once stopped with no ready frame left. The frame stays
    // valid until released or until its pool is replaced.
    NorvaneFrameBuffer* requestFrame(short timeout);
    // The same, also reporting the frame's generation in its pool.
    NorvaneFrameBuffer* requestFrame(short timeout, uint64_t* generation);
    // Gives a frame of the current pool back; -1 unless it is held.
    TofErrorCode releaseFrame(NorvaneFrameBuffer* frame);
    // The current frame pool (null before the first start). Holding it keeps
    // its buffers alive after the camera replaced it.
    std::shared_ptr<FramePool> currentPool() const;

    // --- the capture thread ------------------------------------------------------
    void captureThread();
    // Reads one capture into `cache` and decodes it into the node's buffer:
    // 0 ready to publish, 240 dropped by skipping, -1 failed.
    int analysisFrame(unsigned char* cache, LinkNode* node);
    bool getRawImages(unsigned char* cache, short* raw);
    bool getPhaseImage(unsigned char* cache, float* depth, float* amplitude, float* confidence);
    // One frame-rate sample on the steady clock: the capture thread takes
    // one for every capture read after the first of a run, skipped or not.
    void updateFps();
    // Lowers the sensor's frame rate to the measured one. The capture thread
    // calls it every 3 s once a rate has been measured in the run.
    void adjustFrameRate();

    // --- observation -------------------------------------------------------------
    bool isStopped() const { return stopped.load(); }
    // The sensor's device went away while streaming (unbound, unplugged):
    // the capture ended as by stop, and requests return null once the ready
    // frames are taken. Cleared by the next start.
    bool isDisconnected() const { return disconnected.load(); }
    float getFps() const { return fps.load(); }
    float getFrameInterval() const { return frameInterval.load(); }
    float getSmoothing() const { return smoothing.load(); }
    int getFpsSamples() const { return fpsSamples.load(); }

private:
    // Whether the capture just read falls to frame skipping.
    bool skipThisFrame();
    // analysisFrame, also telling whether a capture was read.
    int readAndDecode(unsigned char* cache, LinkNode* node, bool& read);
    // Records the publication time in a decoded buffer.
    void stampPublished(NorvaneFrameBuffer& buffer);
    void replacePool(std::shared_ptr<FramePool> fresh);
    // The capture thread takes settings set since its last frame, if any.
    void takePendingFilters();
    // Runs the chain over a decoded depth frame.
    void filterDepth(NorvaneFrameBuffer& buffer, float* depth, const float* amplitude);

    CameraInfo info{};
    FrameSize rawSize{};
    FrameSize depthSize{};
    std::unique_ptr<NorvaneTOFSensor> sensor;
    std::unique_ptr<NorvaneDevice> device;
    std::shared_ptr<FramePool> pool;  // guarded by poolMutex
    std::thread worker;
    std::atomic<bool> stopped{true};
    std::atomic<bool> disconnected{false};
    PlatformType platform;
    // SKIP_FRAME (high half) and SKIP_FRAME_LOOP (low half): 0 of 1.
    std::atomic<uint64_t> skipping{1};
    int32_t frameCounter = 0;   // capture thread only
    uint64_t captureCount = 0;  // capture thread only: captures read since start
    std::atomic<float> frameInterval{0.0f};
    std::atomic<float> smoothing;
    std::atomic<float> fps{0.0f};
    std::atomic<int> fpsSamples{0};
    SteadyClock::time_point lastFrameTime{};  // capture thread only
    std::atomic<bool> autoFrameRate{true};
    bool sensorOpen = false;  // the sensor's open succeeded and no close since
    mutable std::mutex poolMutex;
    // Settings handed to the capture thread: written under filterMutex, then
    // flagged; the capture thread copies them under the same lock, only
    // when it gets it at once, and never allocates for it.
    mutable std::mutex filterMutex;
    FilterSettings pendingFilters;  // guarded by filterMutex
    std::atomic<bool> filtersPending{false};
    FilterChain filterChain;  // the capture thread's while running; start prepares it
};

}  // namespace Norvane
