#include "sim/SimCaptureNode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>

#include <linux/videodev2.h>

#include "common/ByteOrder.h"
#include "sensor/ModuleRange.h"
#include "sim/VgaFrames.h"

#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace Quorvex::Sim {

namespace {

constexpr size_t kPage = 4096;
constexpr uint32_t kMaxBuffers = 32;
constexpr uint32_t kRangeControl = 0x00981901;
constexpr int64_t kSubFrameStepUs = 1000;
// Frames delivered as fast as they are read are still stamped this far
// apart, well beyond the gap that separates the sub-frames of one frame.
constexpr int64_t kUnpacedFrameUs = 10000;
// Bytes a receiver leaves in line and page padding: not zero, so that a
// reader that takes padding for pixels shows it.
constexpr uint8_t kPadding = 0xA5;
constexpr double kHqvgaBrightest = 900.0;
constexpr double kVgaBrightest = 1500.0;
// Exposure where the scene sends nothing back.
constexpr double kEmptySceneGain = 600.0;

size_t roundUp(size_t value, size_t step)
{
    return (value + step - 1) / step * step;
}

struct Size {
    uint32_t width, height;
};

// What each module can send: HQVGA one size, VGA its two sizes with one or
// two frequencies ((height + 1) * 5 rows per frequency).
std::vector<Size> supportedSizes(CsiModule::Variant variant)
{
    if (variant == CsiModule::Variant::HQVGA)
        return {{240, 180}};
    return {{640, 2405}, {640, 4810}, {320, 1205}, {320, 2410}};
}

sim::SceneParams moduleSceneParams(const CsiModule& module)
{
    sim::SceneParams params;
    params.distanceMm = module.distanceMm;
    params.objectDistanceMm = std::min(1000.0, module.distanceMm * 2.0 / 3.0);
    params.objectSizeMm = std::min(350.0, params.objectDistanceMm / 3.0);
    return params;
}

sim::Scene makeModuleScene(const CsiModule& module, int width, int height)
{
    return sim::makeScene(module.scene, width, height, moduleSceneParams(module));
}

// Exposure for a scene: its brightest point just below saturation, however
// far; a cap would leave a far wall's samples in the converter's lowest bits.
double gainFor(const sim::Scene& scene, double brightestTarget)
{
    double brightest = 0.0;
    for (const sim::ScenePixel& px : scene.pixels) {
        const double metres = std::max(0.001, px.depthMm / 1000.0);
        brightest = std::max(brightest, px.reflectivity / (metres * metres));
    }
    return brightest > 0.0 ? brightestTarget / brightest : kEmptySceneGain;
}

} // namespace

ReceiverLayout ReceiverLayout::forBoard(BoardKind board)
{
    ReceiverLayout layout;
    switch (board) {
    case BOARD_RASPBERRY_PI_5:
        layout.packing = Packing::PackedY12P;
        break;
    case BOARD_RADXA_ROCK:
        layout.multiPlanar = true;
        break;
    case BOARD_JETSON_TX1_NANO:
        // Lines start on 64-byte boundaries and buffers are exactly the
        // image: a 240-sample line takes 512 bytes.
        layout.lineAlign = 64;
        layout.pageRoundedLength = false;
        break;
    case BOARD_JETSON:
        layout.packing = Packing::Blocks960;
        layout.lineAlign = 1;
        layout.sampleShift = 4;
        break;
    default:
        break;
    }
    return layout;
}

struct SimCaptureNode::Memory {
    explicit Memory(size_t bytes) : size(roundUp(bytes, kPage))
    {
        data = static_cast<uint8_t*>(std::aligned_alloc(kPage, size));
        if (data)
            std::memset(data, kPadding, size);
    }
    ~Memory() { std::free(data); }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;

    uint8_t* data = nullptr;
    size_t size;
};

struct SimCaptureNode::Buffer {
    enum class State { User, Queued, Done };
    std::shared_ptr<Memory> memory;
    size_t length = 0;
    uint32_t offset = 0;
    State state = State::User;
    timeval timestamp{};
    uint32_t sequence = 0;
    int mapCount = 0;
};

struct SimCaptureNode::FileState final : SimFileState {
    uint64_t id = 0;
    bool nonBlocking = false;
};

SimCaptureNode::SimCaptureNode(const ReceiverLayout& l, const CsiModule& m)
    : layout(l), module(m),
      capabilities((l.multiPlanar ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE) |
                   V4L2_CAP_STREAMING)
{
    // Apart from the image noise, so that a jitter setting leaves the frames alone.
    jitterSource.seed(module.seed ^ 0x9E3779B97F4A7C15ull);
    const std::vector<Size> sizes = supportedSizes(module.variant);
    const bool vga = module.variant == CsiModule::Variant::VGA;
    const Size initial = sizes[vga ? (module.vgaHeight == 240 ? 2 : 0) + (module.dualFrequency ? 1 : 0) : 0];
    computeFormat(initial.width, initial.height);
}

SimCaptureNode::~SimCaptureNode() = default;

void SimCaptureNode::attachModuleSubdev(std::shared_ptr<SimSubdevice> subdev)
{
    std::lock_guard<std::mutex> lock(mutex);
    moduleSubdev = std::move(subdev);
}

void SimCaptureNode::setCapabilities(uint32_t caps)
{
    std::lock_guard<std::mutex> lock(mutex);
    capabilities = caps;
}

void SimCaptureNode::grantBuffers(int count)
{
    std::lock_guard<std::mutex> lock(mutex);
    grantCount = count;
}

void SimCaptureNode::failDequeueAfter(unsigned goodDequeues, int error)
{
    std::lock_guard<std::mutex> lock(mutex);
    dequeueFaultArmed = true;
    dequeuesBeforeFault = goodDequeues;
    dequeueError = error;
}

void SimCaptureNode::unplug()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        unplugged = true;
    }
    wake.notify_all();
}

void SimCaptureNode::reportIndexAt(unsigned dequeueNumber, uint32_t index)
{
    std::lock_guard<std::mutex> lock(mutex);
    fakeIndices[dequeues + dequeueNumber] = index;
}

void SimCaptureNode::damageAt(unsigned dequeueNumber, bool flagError, uint32_t bytesWritten)
{
    std::lock_guard<std::mutex> lock(mutex);
    damaged[dequeues + dequeueNumber] = {flagError, bytesWritten};
}

void SimCaptureNode::stall(bool on)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stalled = on;
    }
    wake.notify_all();
}

void SimCaptureNode::scriptTimestamps(const std::vector<std::pair<int64_t, int64_t>>& stamps)
{
    std::lock_guard<std::mutex> lock(mutex);
    scripted = stamps;
    scriptedNext = 0;
}

bool SimCaptureNode::streaming() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return isStreaming;
}

size_t SimCaptureNode::allocatedBuffers() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return buffers.size();
}

size_t SimCaptureNode::mappedBuffers() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return mappings.size();
}

uint64_t SimCaptureNode::dequeueCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return dequeues;
}

uint32_t SimCaptureNode::formatWidth() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return width;
}

uint32_t SimCaptureNode::formatHeight() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return height;
}

uint32_t SimCaptureNode::pixelFormat() const
{
    return layout.packing == ReceiverLayout::Packing::PackedY12P ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12;
}

uint32_t SimCaptureNode::requestedPixelFormat() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return requestedFormat;
}

// --- Format ----------------------------------------------------------------

void SimCaptureNode::computeFormat(uint32_t w, uint32_t h)
{
    width = w;
    height = h;
    switch (layout.packing) {
    case ReceiverLayout::Packing::PackedY12P:
        bytesPerLine = static_cast<uint32_t>(roundUp(static_cast<size_t>(w * 1.5), layout.lineAlign));
        sizeImage = bytesPerLine * h;
        break;
    case ReceiverLayout::Packing::Blocks960:
        bytesPerLine = w * 2;
        sizeImage = static_cast<uint32_t>(roundUp(static_cast<size_t>(bytesPerLine) * h, 960));
        break;
    case ReceiverLayout::Packing::Words:
        bytesPerLine = static_cast<uint32_t>(roundUp(static_cast<size_t>(w) * 2, layout.lineAlign));
        sizeImage = bytesPerLine * h;
        break;
    }
    encoded.clear();
}

bool SimCaptureNode::typeMatches(uint32_t type) const
{
    return type == (layout.multiPlanar ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE);
}

int SimCaptureNode::queryCap(void* arg) const
{
    auto* caps = static_cast<v4l2_capability*>(arg);
    std::memset(caps, 0, sizeof *caps);
    std::strncpy(reinterpret_cast<char*>(caps->driver), "sim-csi2", sizeof caps->driver - 1);
    std::strncpy(reinterpret_cast<char*>(caps->card), "Simulated CSI-2 receiver", sizeof caps->card - 1);
    std::strncpy(reinterpret_cast<char*>(caps->bus_info), "platform:sim-csi2", sizeof caps->bus_info - 1);
    caps->version = 0x060100;
    caps->capabilities = capabilities | V4L2_CAP_DEVICE_CAPS;
    caps->device_caps = capabilities;
    return 0;
}

int SimCaptureNode::getFormat(void* arg) const
{
    auto* f = static_cast<v4l2_format*>(arg);
    if (!typeMatches(f->type))
        return -EINVAL;
    const uint32_t type = f->type;
    std::memset(&f->fmt, 0, sizeof f->fmt);
    f->type = type;
    if (layout.multiPlanar) {
        v4l2_pix_format_mplane& mp = f->fmt.pix_mp;
        mp.width = width;
        mp.height = height;
        mp.pixelformat = pixelFormat();
        mp.field = V4L2_FIELD_NONE;
        mp.colorspace = V4L2_COLORSPACE_RAW;
        mp.num_planes = 1;
        mp.plane_fmt[0].bytesperline = bytesPerLine;
        mp.plane_fmt[0].sizeimage = sizeImage;
    } else {
        v4l2_pix_format& pix = f->fmt.pix;
        pix.width = width;
        pix.height = height;
        pix.pixelformat = pixelFormat();
        pix.field = V4L2_FIELD_NONE;
        pix.colorspace = V4L2_COLORSPACE_RAW;
        pix.bytesperline = bytesPerLine;
        pix.sizeimage = sizeImage;
    }
    return 0;
}

int SimCaptureNode::tryFormat(void* arg, bool set)
{
    auto* f = static_cast<v4l2_format*>(arg);
    if (!typeMatches(f->type))
        return -EINVAL;
    // vb2: the format is fixed while buffers exist.
    if (set && !buffers.empty())
        return -EBUSY;
    if (set)
        requestedFormat = layout.multiPlanar ? f->fmt.pix_mp.pixelformat : f->fmt.pix.pixelformat;
    const uint32_t w = layout.multiPlanar ? f->fmt.pix_mp.width : f->fmt.pix.width;
    const uint32_t h = layout.multiPlanar ? f->fmt.pix_mp.height : f->fmt.pix.height;
    // The receiver can only take what the module sends: an exact size, else
    // the first one of that width, else the module's default.
    const std::vector<Size> sizes = supportedSizes(module.variant);
    Size chosen = sizes.front();
    auto exact = std::find_if(sizes.begin(), sizes.end(), [&](Size s) { return s.width == w && s.height == h; });
    auto sameWidth = std::find_if(sizes.begin(), sizes.end(), [&](Size s) { return s.width == w; });
    if (exact != sizes.end())
        chosen = *exact;
    else if (sameWidth != sizes.end())
        chosen = *sameWidth;

    const uint32_t savedWidth = width, savedHeight = height, savedLine = bytesPerLine, savedSize = sizeImage;
    computeFormat(chosen.width, chosen.height);
    getFormat(arg);
    if (!set) {
        width = savedWidth;
        height = savedHeight;
        bytesPerLine = savedLine;
        sizeImage = savedSize;
    }
    return 0;
}

// --- Buffers -----------------------------------------------------------------

int SimCaptureNode::ownerCheck(const FileState& file) const
{
    return owner != 0 && owner != file.id ? -EBUSY : 0;
}

void SimCaptureNode::freeBuffersLocked()
{
    buffers.clear();
    queued.clear();
    done.clear();
}

void SimCaptureNode::stopStreamingLocked()
{
    isStreaming = false;
    for (auto& b : buffers)
        b->state = Buffer::State::User;
    queued.clear();
    done.clear();
    wake.notify_all();
}

void SimCaptureNode::releaseQueueLocked()
{
    stopStreamingLocked();
    freeBuffersLocked();
    owner = 0;
    releasePending = false;
}

int SimCaptureNode::requestBuffers(const FileState& file, void* arg)
{
    auto* req = static_cast<v4l2_requestbuffers*>(arg);
    if (!typeMatches(req->type) || req->memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
    if (const int busy = ownerCheck(file))
        return busy;
    if (isStreaming)
        return -EBUSY;
    // Buffers still mapped are orphaned, not refused: their memory stays
    // readable until it is unmapped, as vb2 does.
    freeBuffersLocked();
    if (req->count == 0) {
        owner = 0;
        return 0;
    }
    const uint32_t count = grantCount >= 0 ? static_cast<uint32_t>(grantCount) : std::min(req->count, kMaxBuffers);
    const size_t length = layout.pageRoundedLength ? roundUp(sizeImage, kPage) : sizeImage;
    for (uint32_t i = 0; i < count; ++i) {
        auto b = std::make_unique<Buffer>();
        b->memory = std::make_shared<Memory>(length);
        if (!b->memory->data) {
            freeBuffersLocked();
            return -ENOMEM;
        }
        b->length = length;
        // The cookie mmap takes: each buffer at its own page-aligned offset.
        b->offset = static_cast<uint32_t>(i * roundUp(length, kPage));
        buffers.push_back(std::move(b));
    }
    req->count = count;
    owner = count ? file.id : 0;
    return 0;
}

int SimCaptureNode::queryBuffer(void* arg) const
{
    auto* buf = static_cast<v4l2_buffer*>(arg);
    if (!typeMatches(buf->type) || buf->index >= buffers.size())
        return -EINVAL;
    if (layout.multiPlanar && (!buf->m.planes || buf->length < 1))
        return -EINVAL;
    const Buffer& b = *buffers[buf->index];
    buf->memory = V4L2_MEMORY_MMAP;
    buf->flags = (b.mapCount ? V4L2_BUF_FLAG_MAPPED : 0) |
                 (b.state == Buffer::State::Queued ? V4L2_BUF_FLAG_QUEUED : 0) |
                 (b.state == Buffer::State::Done ? V4L2_BUF_FLAG_DONE : 0);
    if (layout.multiPlanar) {
        buf->length = 1;
        buf->m.planes[0].length = static_cast<uint32_t>(b.length);
        buf->m.planes[0].m.mem_offset = b.offset;
    } else {
        buf->length = static_cast<uint32_t>(b.length);
        buf->m.offset = b.offset;
    }
    return 0;
}

int SimCaptureNode::queueBuffer(const FileState& file, void* arg)
{
    auto* buf = static_cast<v4l2_buffer*>(arg);
    if (const int busy = ownerCheck(file))
        return busy;
    if (!typeMatches(buf->type) || buf->memory != V4L2_MEMORY_MMAP || buf->index >= buffers.size())
        return -EINVAL;
    if (layout.multiPlanar && (!buf->m.planes || buf->length < 1))
        return -EINVAL;
    Buffer& b = *buffers[buf->index];
    if (b.state != Buffer::State::User)
        return -EINVAL;
    b.state = Buffer::State::Queued;
    queued.push_back(buf->index);
    buf->flags |= V4L2_BUF_FLAG_QUEUED;
    wake.notify_all();
    return 0;
}

int SimCaptureNode::dequeueBuffer(const FileState& file, std::unique_lock<std::mutex>& lock, void* arg)
{
    auto* buf = static_cast<v4l2_buffer*>(arg);
    if (const int busy = ownerCheck(file))
        return busy;
    if (!typeMatches(buf->type) || buf->memory != V4L2_MEMORY_MMAP)
        return -EINVAL;
    if (layout.multiPlanar && (!buf->m.planes || buf->length < 1))
        return -EINVAL;
    if (dequeueFaultArmed && dequeuesBeforeFault == 0)
        return -dequeueError;
    if (!isStreaming)
        return -EINVAL;
    if (done.empty()) {
        Clock::time_point due;
        if (!produceLocked(due)) {
            if (file.nonBlocking)
                return -EAGAIN;
            if (!waitReadyLocked(lock, Clock::time_point::max()))
                return unplugged ? -ENODEV : -EINVAL;
        }
    }
    const uint32_t index = done.front();
    done.erase(done.begin());
    Buffer& b = *buffers[index];
    ++dequeues;
    if (dequeueFaultArmed)
        --dequeuesBeforeFault;

    uint32_t reported = index;
    auto fake = fakeIndices.find(dequeues);
    if (fake != fakeIndices.end()) {
        // The lie leaves the real buffer with the driver.
        reported = fake->second;
        fakeIndices.erase(fake);
        b.state = Buffer::State::Queued;
        queued.push_back(index);
    } else {
        b.state = Buffer::State::User;
    }
    buf->index = reported;
    buf->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | (b.mapCount ? V4L2_BUF_FLAG_MAPPED : 0);
    buf->field = V4L2_FIELD_NONE;
    buf->timestamp = b.timestamp;
    buf->sequence = b.sequence;
    if (layout.multiPlanar) {
        buf->length = 1;
        buf->m.planes[0].bytesused = sizeImage;
        buf->m.planes[0].length = static_cast<uint32_t>(b.length);
        buf->m.planes[0].m.mem_offset = b.offset;
    } else {
        buf->bytesused = sizeImage;
        buf->length = static_cast<uint32_t>(b.length);
        buf->m.offset = b.offset;
    }
    auto damage = damaged.find(dequeues);
    if (damage != damaged.end()) {
        const uint32_t written = damage->second.flagError ? sizeImage / 2
                                                          : std::min(damage->second.bytesWritten, sizeImage);
        std::memset(static_cast<uint8_t*>(b.memory->data) + written, kPadding,
                    std::min<size_t>(sizeImage, b.memory->size) - std::min<size_t>(written, b.memory->size));
        if (damage->second.flagError)
            buf->flags |= V4L2_BUF_FLAG_ERROR;
        else if (layout.multiPlanar)
            buf->m.planes[0].bytesused = written;
        else
            buf->bytesused = written;
        damaged.erase(damage);
    }
    return 0;
}

int SimCaptureNode::streamOn(const FileState& file, void* arg)
{
    if (const int busy = ownerCheck(file))
        return busy;
    if (!typeMatches(*static_cast<const uint32_t*>(arg)))
        return -EINVAL;
    if (buffers.empty())
        return -EINVAL;
    if (isStreaming)
        return 0;
    isStreaming = true;
    // A new stream begins with the first sub-frame of a new frame.
    subFrame = 0;
    frameBegun = false;
    nextFrameAt = Clock::now();
    return 0;
}

int SimCaptureNode::streamOff(const FileState& file, void* arg)
{
    if (const int busy = ownerCheck(file))
        return busy;
    if (!typeMatches(*static_cast<const uint32_t*>(arg)))
        return -EINVAL;
    stopStreamingLocked();
    return 0;
}

// --- Frames ------------------------------------------------------------------

void SimCaptureNode::renderLocked()
{
    const bool hqvga = module.variant == CsiModule::Variant::HQVGA;
    // The range the module had latched when this frame began.
    const Clock::time_point frameStart{std::chrono::microseconds(frameStartUs)};
    const int32_t near = moduleSubdev ? moduleSubdev->controlAt(kRangeControl, frameStart) : 0;
    const uint64_t key = (static_cast<uint64_t>(width) << 40) | (static_cast<uint64_t>(height) << 8) |
                         (near ? 2u : 1u);
    const bool noisy = module.physics.realistic && (module.physics.shotNoise || module.physics.readNoiseE > 0.0);
    if (key == renderedKey && !encoded.empty() && !noisy)
        return;
    renderedKey = key;

    const bool packed = layout.packing == ReceiverLayout::Packing::PackedY12P;
    const unsigned shift = packed ? 0 : layout.sampleShift;
    words.resize(static_cast<size_t>(width) * height * (hqvga ? 4 : 1));
    size_t subFrames = 1;
    const int rangeMm = near ? Quorvex::kNearRangeMm : Quorvex::kFarRangeMm;
    const double freq = near ? 75e6 : 37.5e6;
    if (module.physics.realistic) {
        const bool single = height % 10 != 0;
        const int imageHeight = hqvga ? static_cast<int>(height) : static_cast<int>(height) / (single ? 5 : 10) - 1;
        if (!world || world->width() != static_cast<int>(width) || world->height() != imageHeight) {
            world = std::make_unique<sim::PhysicalWorld>(module.scene, moduleSceneParams(module),
                                                         static_cast<int>(width), imageHeight, module.physics);
            noise = sim::NoiseSource(module.seed);
        }
        if (hqvga) {
            world->renderHqvga(frameNumber, freq, rangeMm, shift, words.data(), noise);
            subFrames = 4;
        } else {
            sim::renderVgaFrame(*world, frameNumber, single, words.data(), noise);
            for (uint16_t& w : words)
                w = static_cast<uint16_t>(w << shift);
        }
    } else if (hqvga) {
        if (scene.width != static_cast<int>(width))
            scene = makeModuleScene(module, static_cast<int>(width), static_cast<int>(height));
        sim::CorrelationModel model;
        model.gainAt1m = gainFor(scene, kHqvgaBrightest);
        sim::renderHqvgaSubFrames(scene, freq, rangeMm, shift, words.data(), model);
        subFrames = 4;
    } else {
        const bool single = height % 10 != 0;
        const int imageHeight = static_cast<int>(height) / (single ? 5 : 10) - 1;
        if (scene.width != static_cast<int>(width) || scene.height != imageHeight)
            scene = makeModuleScene(module, static_cast<int>(width), imageHeight);
        sim::VgaLight light;
        light.model.gainAt1m = gainFor(scene, kVgaBrightest);
        sim::renderVgaFrame(scene, static_cast<int>(width), imageHeight, single, words.data(), light);
        for (uint16_t& w : words)
            w = static_cast<uint16_t>(w << shift);
    }
    const size_t perSubFrame = static_cast<size_t>(width) * height;
    // A noisy world renders every frame: the images are refilled in place, and
    // made anew (zeroed) only when the layout changes.
    if (encoded.size() != subFrames || encoded[0].size() != sizeImage)
        encoded.assign(subFrames, std::vector<uint8_t>(sizeImage));
    for (size_t k = 0; k < subFrames; ++k)
        encodeSubFrame(words.data() + k * perSubFrame, encoded[k].data());
}

void SimCaptureNode::encodeSubFrame(const uint16_t* words, uint8_t* out) const
{
    std::memset(out, kPadding, sizeImage);
    switch (layout.packing) {
    case ReceiverLayout::Packing::Words:
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* line = out + static_cast<size_t>(y) * bytesPerLine;
            for (uint32_t x = 0; x < width; ++x) {
                storeLe16(line + 2 * x, words[static_cast<size_t>(y) * width + x]);
            }
        }
        break;
    case ReceiverLayout::Packing::PackedY12P:
        // MIPI RAW12: the high eight bits of each sample of a pair, then
        // both low nibbles, the first sample's in the low half.
        for (uint32_t y = 0; y < height; ++y) {
            uint8_t* line = out + static_cast<size_t>(y) * bytesPerLine;
            const uint16_t* row = words + static_cast<size_t>(y) * width;
            for (uint32_t x = 0; x < width; x += 2) {
                const uint16_t s0 = row[x] & 0x0FFF;
                const uint16_t s1 = x + 1 < width ? row[x + 1] & 0x0FFF : 0;
                const size_t at = static_cast<size_t>(x / 2) * 3;
                if (at + 2 >= bytesPerLine)
                    break;
                line[at] = static_cast<uint8_t>(s0 >> 4);
                line[at + 1] = static_cast<uint8_t>(s1 >> 4);
                line[at + 2] = static_cast<uint8_t>((s0 & 0x0F) | ((s1 & 0x0F) << 4));
            }
        }
        break;
    case ReceiverLayout::Packing::Blocks960: {
        // Per 960 bytes of the frame D the receiver writes D[0..447],
        // D[480..959], then D[448..479] at the block's end. The reader's
        // mapping takes bytes 448..479 of its output from block bytes
        // 896..927 (which hold D[928..959]), so those 16 samples of every
        // block come out as a copy of the 16 samples 480 bytes further on:
        // the mapping cannot carry them.
        const size_t frameBytes = static_cast<size_t>(width) * height * 2;
        std::vector<uint8_t> plain(roundUp(frameBytes, 960), kPadding);
        for (size_t n = 0; n < frameBytes / 2; ++n)
            storeLe16(plain.data() + 2 * n, words[n]);
        for (size_t b = 0; b + 960 <= plain.size(); b += 960) {
            std::memcpy(out + b, plain.data() + b, 448);
            std::memcpy(out + b + 448, plain.data() + b + 480, 480);
            std::memcpy(out + b + 928, plain.data() + b + 448, 32);
        }
        break;
    }
    }
}

bool SimCaptureNode::produceLocked(Clock::time_point& due)
{
    due = Clock::time_point::max();
    if (stalled || !isStreaming || unplugged || queued.empty())
        return false;
    const bool hqvga = module.variant == CsiModule::Variant::HQVGA;
    const uint32_t perFrame = hqvga ? 4 : 1;
    const Clock::time_point now = Clock::now();
    if (subFrame == 0 && !frameBegun) {
        if (module.fps > 0 && now < nextFrameAt) {
            due = nextFrameAt;
            return false;
        }
        const int64_t periodUs = module.fps > 0 ? 1000000 / module.fps : kUnpacedFrameUs;
        // Stamped on CLOCK_MONOTONIC's scale, as V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC
        // says (steady_clock is that clock): a paced frame at the time it was
        // due, an unpaced one now, but never closer than a period to the
        // frame before, which may put it ahead of the clock as real drivers'
        // stamps can be.
        const Clock::time_point due = module.fps > 0 ? nextFrameAt : now;
        const int64_t dueUs =
            std::chrono::duration_cast<std::chrono::microseconds>(due.time_since_epoch()).count();
        frameStartUs = frameNumber == 0 ? dueUs : std::max(dueUs, frameStartUs + periodUs);
        ++frameNumber;
        if (module.fps > 0)
            nextFrameAt = std::max(now, nextFrameAt) + std::chrono::microseconds(periodUs);
        renderLocked();
        frameBegun = true;
        const double jitter = module.latencyJitterMs > 0.0
                                  ? std::uniform_real_distribution<double>(0.0, module.latencyJitterMs)(jitterSource)
                                  : 0.0;
        frameDelayUs = std::llround((module.latencyMs + jitter) * 1000.0);
    }
    int64_t stampUs = frameStartUs + static_cast<int64_t>(subFrame) * kSubFrameStepUs;
    // A sub-frame is complete when its stamp says, and handed over after
    // the configured delay.
    const Clock::time_point ready{std::chrono::microseconds(stampUs + frameDelayUs)};
    if (module.fps > 0 && now < ready) {
        due = ready;
        return false;
    }
    const uint32_t index = queued.front();
    queued.erase(queued.begin());
    Buffer& b = *buffers[index];
    const std::vector<uint8_t>& image = encoded[std::min<size_t>(subFrame, encoded.size() - 1)];
    std::memcpy(b.memory->data, image.data(), std::min(image.size(), b.memory->size));

    if (scriptedNext < scripted.size()) {
        const auto& s = scripted[scriptedNext++];
        b.timestamp.tv_sec = static_cast<decltype(b.timestamp.tv_sec)>(s.first);
        b.timestamp.tv_usec = static_cast<decltype(b.timestamp.tv_usec)>(s.second);
    } else {
        b.timestamp.tv_sec = static_cast<decltype(b.timestamp.tv_sec)>(stampUs / 1000000);
        b.timestamp.tv_usec = static_cast<decltype(b.timestamp.tv_usec)>(stampUs % 1000000);
    }
    b.sequence = sequence++;
    b.state = Buffer::State::Done;
    done.push_back(index);
    subFrame = (subFrame + 1) % perFrame;
    if (subFrame == 0)
        frameBegun = false;
    return true;
}

bool SimCaptureNode::waitReadyLocked(std::unique_lock<std::mutex>& lock, Clock::time_point deadline)
{
    for (;;) {
        if (unplugged || !isStreaming)
            return false;
        if (dequeueFaultArmed && dequeuesBeforeFault == 0)
            return false;
        if (!done.empty())
            return true;
        Clock::time_point due;
        if (produceLocked(due))
            return true;
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return false;
        wake.wait_until(lock, std::min(deadline, due));
    }
}

// --- SimDeviceNode -------------------------------------------------------------

int SimCaptureNode::open(SimOpenFile& file)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (unplugged)
        return -ENODEV;
    auto state = std::make_unique<FileState>();
    state->id = nextFileId++;
    state->nonBlocking = (file.flags & O_NONBLOCK) != 0;
    file.state = std::move(state);
    return 0;
}

void SimCaptureNode::release(SimOpenFile& file)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto* state = static_cast<const FileState*>(file.state.get());
    if (!state || state->id != owner)
        return;
    // A mapping holds the file: the queue (and a running stream) live on
    // until the last buffer is unmapped.
    if (!mappings.empty())
        releasePending = true;
    else
        releaseQueueLocked();
}

int SimCaptureNode::ioctl(SimOpenFile& file, unsigned long request, void* arg)
{
    if (!arg)
        return -EFAULT;
    std::unique_lock<std::mutex> lock(mutex);
    if (unplugged)
        return -ENODEV;
    const FileState& state = static_cast<const FileState&>(*file.state);
    switch (request) {
    case VIDIOC_QUERYCAP:
        return queryCap(arg);
    case VIDIOC_S_INPUT:
        return *static_cast<const int*>(arg) == 0 ? 0 : -EINVAL;
    case VIDIOC_G_INPUT:
        *static_cast<int*>(arg) = 0;
        return 0;
    case VIDIOC_G_FMT:
        return getFormat(arg);
    case VIDIOC_TRY_FMT:
        return tryFormat(arg, false);
    case VIDIOC_S_FMT:
        if (const int busy = ownerCheck(state))
            return busy;
        return tryFormat(arg, true);
    case VIDIOC_REQBUFS:
        return requestBuffers(state, arg);
    case VIDIOC_QUERYBUF:
        return queryBuffer(arg);
    case VIDIOC_QBUF:
        return queueBuffer(state, arg);
    case VIDIOC_DQBUF:
        return dequeueBuffer(state, lock, arg);
    case VIDIOC_STREAMON:
        return streamOn(state, arg);
    case VIDIOC_STREAMOFF:
        return streamOff(state, arg);
    default:
        return -ENOTTY;
    }
}

short SimCaptureNode::poll(SimOpenFile&, short events, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    const Clock::time_point deadline =
        timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (waitReadyLocked(lock, deadline))
        return static_cast<short>(events & (POLLIN | POLLRDNORM));
    if (unplugged)
        return POLLERR | POLLHUP;
    if (!isStreaming || (dequeueFaultArmed && dequeuesBeforeFault == 0))
        return POLLERR;
    return 0;
}

void* SimCaptureNode::mmap(SimOpenFile&, size_t length, int prot, int flags, off_t offset, int& error)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (unplugged) {
        error = ENODEV;
        return nullptr;
    }
    if (!(flags & MAP_SHARED) || !(prot & PROT_READ)) {
        error = EINVAL;
        return nullptr;
    }
    for (auto& b : buffers) {
        if (static_cast<off_t>(b->offset) != offset)
            continue;
        // One mapping per buffer: the simulated memory has one address.
        if (length == 0 || length > b->memory->size || b->mapCount > 0) {
            error = EINVAL;
            return nullptr;
        }
        ++b->mapCount;
        mappings[b->memory->data] = b->memory;
        return b->memory->data;
    }
    error = EINVAL;
    return nullptr;
}

int SimCaptureNode::munmap(void* addr, size_t)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = mappings.find(addr);
    if (it == mappings.end())
        return -EINVAL;
    for (auto& b : buffers)
        if (b->memory == it->second && b->mapCount > 0)
            --b->mapCount;
    mappings.erase(it);
    if (releasePending && mappings.empty())
        releaseQueueLocked();
    return 0;
}

} // namespace Quorvex::Sim
