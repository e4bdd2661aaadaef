#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "sensor/BoardKind.h"
#include "sim/SceneModel.h"
#include "sim/SensorPhysics.h"
#include "sim/SimDeviceNode.h"
#include "sim/SimSubdevice.h"

namespace Quorvex::Sim {

// How a board's CSI-2 receiver writes what the module sends into memory.
struct ReceiverLayout {
    enum class Packing {
        // One 16-bit little-endian word per sample, lines bytesperline apart.
        Words,
        // Two samples in three bytes (12-bit packed), lines padded.
        PackedY12P,
        // Words regrouped in 960-byte blocks, the Jetson receiver's order.
        Blocks960,
    };
    bool multiPlanar = false;
    Packing packing = Packing::Words;
    // bytesperline is rounded up to a multiple of this.
    uint32_t lineAlign = 16;
    // Bits the 12-bit sample is moved up within its word.
    unsigned sampleShift = 0;
    // Whether buffer lengths are whole pages (most drivers) or the image
    // size itself.
    bool pageRoundedLength = true;

    // The receiver of each board as this library expects to meet it.
    static ReceiverLayout forBoard(BoardKind board);
};

// The module on the other end of the link.
struct CsiModule {
    enum class Variant {
        // 240 x 180, four phase sub-frames per frame.
        HQVGA,
        // 640 x 480 (or 320 x 240) in the depth library's raw layout: one
        // buffer of (height + 1) * 5 rows per frequency.
        VGA,
    };
    Variant variant = Variant::HQVGA;
    // A VGA module built for both modulation frequencies: it comes up
    // sending (height + 1) * 10 rows, the sub-frames of both.
    bool dualFrequency = false;
    // A VGA module's depth height: 480 (640 x 480) or 240 (320 x 240).
    uint32_t vgaHeight = 480;
    sim::SceneKind scene = sim::SceneKind::TILTED_WALL;
    double distanceMm = 1500.0;
    // Frames per second paced in real time; 0 delivers as fast as read.
    uint32_t fps = 30;
    // The world the module sees (ideal unless `physics.realistic`) and the
    // seed of its noise.
    sim::PhysicsSettings physics;
    uint64_t seed = 1;
    // A paced module's buffer is done no earlier than its stamp plus
    // `latencyMs` and a uniform random 0 ... `latencyJitterMs` (drawn per
    // frame from `seed`). The stamps are the kernel's CLOCK_MONOTONIC
    // times, so the module's own clock (its drift) never shows in them.
    double latencyMs = 0.0;
    double latencyJitterMs = 0.0;
};

// A V4L2 capture node of a CSI-2 receiver with a module behind it. Answers
// VIDIOC_QUERYCAP, S_INPUT, G_FMT/TRY_FMT/S_FMT (single- or multi-planar, as
// the layout says), REQBUFS/QUERYBUF/QBUF/DQBUF/STREAMON/STREAMOFF with
// memory-mapped buffers and poll, with the vb2 rules drivers share: the
// file that requested buffers owns the queue, the format cannot change while
// buffers exist, buffers freed while mapped are orphaned (their memory stays
// until unmapped), and a mapping keeps the file (and so the queue and the
// stream) alive after its descriptor is closed. Frames are rendered from
// the scene model; buffers are stamped with CLOCK_MONOTONIC times,
// sub-frames of one frame 1000 us apart, frames at least 10 ms apart. The
// module latches its range control at the start of each frame: a frame
// stamped before a change of it is rendered at the old range.
class SimCaptureNode final : public SimDeviceNode {
public:
    SimCaptureNode(const ReceiverLayout& layout, const CsiModule& module);
    ~SimCaptureNode() override;

    // The module's sub-device, whose range control (0x00981901: 1 near,
    // 0 far) sets the modulation frequency.
    void attachModuleSubdev(std::shared_ptr<SimSubdevice> subdev);

    // --- Faults ---
    // VIDIOC_QUERYCAP reports these capabilities.
    void setCapabilities(uint32_t capabilities);
    // REQBUFS grants this many buffers whatever is asked (< 0: as asked).
    void grantBuffers(int count);
    // After `goodDequeues` more successful dequeues every DQBUF fails with
    // `error` (and poll reports POLLERR).
    void failDequeueAfter(unsigned goodDequeues, int error);
    // Every request fails with ENODEV from now on, poll reports an error,
    // nothing more can be mapped; unmapping and closing still work.
    void unplug();
    // The dequeue numbered `dequeueNumber` (1 = the next) reports `index`
    // instead of its buffer's, which stays with the driver.
    void reportIndexAt(unsigned dequeueNumber, uint32_t index);
    // The dequeue numbered `dequeueNumber` (1 = the next) hands over a
    // buffer the receiver damaged, as receivers report it: with
    // `flagError` V4L2_BUF_FLAG_ERROR is set (a CSI-2 transfer error: the
    // image broke off halfway), otherwise bytesused says only
    // `bytesWritten` bytes came (a short frame). What the receiver did not
    // write holds padding.
    void damageAt(unsigned dequeueNumber, bool flagError, uint32_t bytesWritten = 0);
    // No frame is delivered while stalled.
    void stall(bool stalled);
    // Timestamps (seconds, microseconds) of the next buffers delivered, in
    // order; the module's clock goes on afterwards.
    void scriptTimestamps(const std::vector<std::pair<int64_t, int64_t>>& stamps);

    // --- Observation ---
    bool streaming() const;
    size_t allocatedBuffers() const;
    size_t mappedBuffers() const;
    uint64_t dequeueCount() const;
    uint32_t formatWidth() const;
    uint32_t formatHeight() const;
    uint32_t pixelFormat() const;
    // The pixel format the last VIDIOC_S_FMT asked for (before adjusting).
    uint32_t requestedPixelFormat() const;

    // --- SimDeviceNode ---
    int open(SimOpenFile& file) override;
    void release(SimOpenFile& file) override;
    int ioctl(SimOpenFile& file, unsigned long request, void* arg) override;
    short poll(SimOpenFile& file, short events, int timeoutMs) override;
    void* mmap(SimOpenFile& file, size_t length, int prot, int flags, off_t offset, int& error) override;
    int munmap(void* addr, size_t length) override;

private:
    struct Memory;
    struct Buffer;
    struct FileState;
    using Clock = std::chrono::steady_clock;

    int queryCap(void* arg) const;
    int getFormat(void* arg) const;
    int tryFormat(void* arg, bool set);
    int requestBuffers(const FileState& file, void* arg);
    int queryBuffer(void* arg) const;
    int queueBuffer(const FileState& file, void* arg);
    int dequeueBuffer(const FileState& file, std::unique_lock<std::mutex>& lock, void* arg);
    int streamOn(const FileState& file, void* arg);
    int streamOff(const FileState& file, void* arg);

    bool typeMatches(uint32_t type) const;
    int ownerCheck(const FileState& file) const;
    void computeFormat(uint32_t width, uint32_t height);
    void freeBuffersLocked();
    void stopStreamingLocked();
    void releaseQueueLocked();
    // Fills the first queued buffer with the next sub-frame when it is due.
    // Returns false when nothing could be delivered (yet); `due` then says
    // when the next frame may come.
    bool produceLocked(Clock::time_point& due);
    // Waits until a filled buffer is ready, the stream ends or `deadline`.
    bool waitReadyLocked(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);
    void renderLocked();
    void encodeSubFrame(const uint16_t* words, uint8_t* out) const;

    const ReceiverLayout layout;
    const CsiModule module;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::shared_ptr<SimSubdevice> moduleSubdev;

    // Faults
    uint32_t capabilities;
    int grantCount = -1;
    bool dequeueFaultArmed = false;
    unsigned dequeuesBeforeFault = 0;
    int dequeueError = 0;
    bool unplugged = false;
    std::map<uint64_t, uint32_t> fakeIndices;
    struct Damage {
        bool flagError;
        uint32_t bytesWritten;
    };
    std::map<uint64_t, Damage> damaged;
    bool stalled = false;
    std::vector<std::pair<int64_t, int64_t>> scripted;
    size_t scriptedNext = 0;

    // Format
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t bytesPerLine = 0;
    uint32_t sizeImage = 0;
    uint32_t requestedFormat = 0;

    // Queue
    std::vector<std::unique_ptr<Buffer>> buffers;
    std::map<void*, std::shared_ptr<Memory>> mappings;
    std::vector<uint32_t> queued;
    std::vector<uint32_t> done;
    uint64_t owner = 0;
    uint64_t nextFileId = 1;
    bool isStreaming = false;
    // The owner's descriptor was closed while mappings remained.
    bool releasePending = false;
    uint64_t dequeues = 0;

    // Module
    sim::Scene scene;
    std::unique_ptr<sim::PhysicalWorld> world;
    sim::NoiseSource noise{1};
    std::vector<uint16_t> words;
    double gain = 600.0;
    // Encoded sub-frames of the current frame as the receiver writes them.
    std::vector<std::vector<uint8_t>> encoded;
    uint64_t renderedKey = 0;
    uint32_t subFrame = 0;
    uint64_t frameNumber = 0;
    uint32_t sequence = 0;
    int64_t frameStartUs = 0;
    Clock::time_point nextFrameAt;
    // The current frame is begun (stamped and rendered); its buffers wait
    // until stamp + frameDelayUs.
    bool frameBegun = false;
    int64_t frameDelayUs = 0;
    std::mt19937_64 jitterSource;
};

} // namespace Quorvex::Sim
