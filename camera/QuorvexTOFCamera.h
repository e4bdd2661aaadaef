#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "camera/CaptureClock.h"
#include "camera/TofTypes.h"
#include "sensor/BoardKind.h"

namespace Quorvex {

class FrameQueue;
struct LinkNode;
class QuorvexDevice;
class QuorvexFrameBuffer;
class QuorvexTOFSensor;

// The library's entry object: owns one sensor (chosen by connection), one
// device (chosen by the size the sensor reports), the frame queue of the
// current stream and its capture thread.
//
// open, openWithFile, start, setOutputType, stop, close and destruction are
// meant for one controlling thread. Controls, requestFrame and releaseFrame
// may be called from any thread while the stream runs.
class QuorvexTOFCamera {
public:
    // Detects the host board once; it is handed to every sensor and device.
    QuorvexTOFCamera();
    // Stops a running stream and closes what the last open acquired.
    ~QuorvexTOFCamera();
    QuorvexTOFCamera(const QuorvexTOFCamera&) = delete;
    QuorvexTOFCamera& operator=(const QuorvexTOFCamera&) = delete;

    // Creates and opens the sensor for `connect`, then the device for the
    // size it reports. -1 while streaming or when no sensor exists for the
    // connection; otherwise the first non-zero result of the sensor's or the
    // device's open. An open that fails releases whatever it acquired.
    TofErrorCode open(Connection connect, int index);
    // As open with a USB sensor configured by `path`; -1 for a null path.
    TofErrorCode openWithFile(const char* path, int index);
    // Chooses, creates and opens the device for the size the sensor reported
    // (240 x 180: HQVGA with four sub-frames per capture; else VGA).
    TofErrorCode openPostHandle();

    // Configures the sensor, checks and builds a fresh frame queue for
    // `type`, starts sensor and device and launches the capture thread. -1
    // while streaming, when the last open failed, for a type other than RAW
    // and DEPTH, or when the device's raw frame would not fit one capture;
    // otherwise the first non-zero step result. A failed start stops what
    // it started, in reverse order, so that a corrected start succeeds.
    TofErrorCode start(FrameType type);
    // Builds the frame queue for `type` (RAW or DEPTH). -1 while streaming,
    // for another type, or when the device's raw frame would not fit one
    // capture of the sensor.
    TofErrorCode setOutputType(FrameType type);
    // Joins the capture thread (std::system_error if none runs), then stops
    // device and sensor; the sensor's result.
    TofErrorCode stop();
    // Stops a running stream, then closes device and sensor; the sensor's
    // result. Ready frames stay obtainable.
    TofErrorCode close();

    // Oldest ready frame, lent to the caller until releaseFrame, or null
    // after `timeout` ms. A negative time-out waits while the stream runs.
    // Once the stream has stopped no frame can come: with none ready, null
    // at once for any time-out. Never returns a frame of a queue that a
    // concurrent start has replaced.
    QuorvexFrameBuffer* requestFrame(int16_t timeout);
    // Gives back a frame obtained from requestFrame; -1 for any other
    // pointer or a frame already given back.
    TofErrorCode releaseFrame(QuorvexFrameBuffer* frame);

    TofErrorCode setControl(CameraCtrl ctrl, int value);
    TofErrorCode getControl(CameraCtrl ctrl, int* value);
    TofErrorCode setControlExt(CameraCtrl ctrl, const char* value);
    TofErrorCode getControlExt(CameraCtrl ctrl, const char** value);
    CameraInfo getCameraInfo() const;

    // Counts the frame queues this camera has built: every start (or
    // setOutputType) that replaces the queue increments it before the old
    // queue and its frames are released. Readable from any thread without a
    // lock. A caller that may be interrupted between requestFrame and its
    // use of the frame (a binding that lets other threads run during the
    // wait) reads it before requestFrame and again afterwards: if it
    // changed, the frame may belong to a queue that is already freed and
    // must be neither touched nor given back. (In the rare case that the
    // start came before requestFrame took its queue, the frame is one of the
    // new queue and stays lent until the next start.)
    std::uint64_t streamGeneration() const { return generation.load(std::memory_order_acquire); }

    // Measurement of the sensor's frame rate, for diagnostics.
    float getFps() const { return fps.load(std::memory_order_relaxed); }
    int getDeliveredFrames() const { return deliveredFrames.load(std::memory_order_relaxed); }

    // For layers that wait for frames without holding their caller's locks.
    // As requestFrame, but only from the queue of stream `generation`: null
    // at once when another start has replaced it.
    QuorvexFrameBuffer* requestFrameOfStream(int16_t timeout, std::uint64_t generation);
    bool isStreaming() const { return !stopped.load(); }
    // What the capture thread last learnt from the sensor: how many reads in
    // a row failed (0 after a good one) and the last read's result, so that
    // a caller who gets no frames can tell a failing module from a silent
    // stream.
    std::uint32_t consecutiveFailedReads() const { return failedReads.load(std::memory_order_relaxed); }
    TofErrorCode lastReadStatus() const { return lastRead.load(std::memory_order_relaxed); }

    // When a frame lent by requestFrame was captured, on the host's
    // monotonic clock (see CaptureClock); -1 for a frame not lent from the
    // current stream.
    TofErrorCode getFrameTiming(const QuorvexFrameBuffer* frame, FrameTiming& out);

private:
    enum class FrameVerdict : uint8_t { Keep, Skipped, NoFrame };

    void captureThread(std::shared_ptr<FrameQueue> q, FrameType type);
    // Reads one capture into `raw` and applies the skip pattern.
    FrameVerdict analysisFrame(uint8_t* raw, int64_t* ts, FrameTiming* timing);
    // Converts the capture into the node's frame; false if the device fails.
    bool fillFrame(uint8_t* raw, int64_t ts, const FrameTiming& timing, LinkNode* node, FrameType type);
    bool getRawImages(uint8_t* raw, int16_t* out);
    bool getPhaseImage(uint8_t* raw, float* depth, float* amplitude, float* confidence);
    void updateFps();
    void adjustFrameRate();

    std::shared_ptr<FrameQueue> currentQueue();
    QuorvexFrameBuffer* requestFrameFrom(const std::shared_ptr<FrameQueue>& q, int16_t timeout);
    void installSensor(std::unique_ptr<QuorvexTOFSensor> next);
    void closeOpened();
    // Opens the installed sensor and then the device; a failure closes
    // what the attempt opened.
    TofErrorCode openInstalled();
    // Checks that a stream of `type` can run on `whole` (the copy of info
    // with the row count of one whole capture) and the device's geometry,
    // and builds its queue. -1 for another type or a raw frame larger than
    // one capture. Throws std::bad_alloc.
    TofErrorCode buildQueue(FrameType type, const CameraInfo& whole, std::shared_ptr<FrameQueue>& out);
    // Makes `next` the current queue and shuts the previous one down.
    void installQueue(std::shared_ptr<FrameQueue> next);

    CameraInfo info{};
    FrameGeometry rawGeometry{};
    FrameGeometry depthGeometry{};
    std::unique_ptr<QuorvexTOFSensor> sensor;
    std::unique_ptr<QuorvexDevice> device;
    // Callers copy the pointer under queueMutex and wait on their copy, so a
    // start that replaces the queue never frees it under a waiter.
    std::shared_ptr<FrameQueue> queue;
    std::mutex queueMutex;
    std::thread capture;

    // Whether sensor and device hold resources that only their close
    // releases: set by a successful open, cleared by close.
    bool sensorOpened = false;
    bool deviceOpened = false;
    // The last open succeeded: sensor and device are there to start.
    bool opened = false;

    std::atomic<bool> stopped{true};
    BoardKind boardKind;
    std::atomic<int> skipFrame{0};
    std::atomic<int> skipFrameLoop{1};
    int skipCounter = 0; // capture thread only
    CaptureClock captureClock; // capture thread only
    std::atomic<float> frameInterval{0.0f};
    std::atomic<float> smoothing{0.1f};
    std::atomic<float> fps{0.0f};
    std::atomic<int> deliveredFrames{0};
    // Nanoseconds of the monotonic clock.
    std::atomic<int64_t> lastTimestamp{0};
    std::atomic<bool> autoFrameRate{true};
    // Changed together with `queue`, under queueMutex.
    std::atomic<std::uint64_t> generation{0};
    std::atomic<std::uint32_t> failedReads{0};
    std::atomic<TofErrorCode> lastRead{QuorvexSuccess};
};

} // namespace Quorvex
