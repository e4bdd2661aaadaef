#include "sensor/QuorvexTOFCSISensor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>

#include <linux/media-bus-format.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include "sensor/CsiBoardRules.h"
#include "sensor/CsiPipeline.h"
#include "sensor/I2cBus.h"
#include "sensor/KernelAccess.h"
#include "sensor/MediaDiscovery.h"
#include "sensor/ModuleRange.h"
#include "sensor/UniqueFd.h"
#include "sensor/V4l2Helpers.h"

namespace Quorvex {

namespace {

// A receiver that strides its lines 512 bytes apart hands over a 240 x 180
// frame in exactly this many bytes; such a buffer is read line by line,
// whatever the board.
constexpr size_t kStride512Bytes = 92160;
constexpr int kPollAttempts = 5;

int64_t microseconds(const timeval& t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000 + static_cast<int64_t>(t.tv_usec);
}

// The time on the clock capture buffers are stamped with
// (V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC); steady_clock is CLOCK_MONOTONIC.
int64_t monotonicMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int32_t rangeOfControl(int32_t value)
{
    return value != 0 ? kNearRangeMm : kFarRangeMm;
}

// A buffer taken from the driver. It goes back to the driver on whichever
// path the caller leaves by; requeue() does it early where the caller needs
// to know whether the driver took it.
class DequeuedBuffer {
public:
    DequeuedBuffer(int fd, uint32_t type) : fd(fd), multi(type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE)
    {
        buffer.type = type;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (multi) {
            buffer.m.planes = planes;
            buffer.length = 1;
        }
    }
    ~DequeuedBuffer()
    {
        if (held)
            (void)requeue();
    }
    DequeuedBuffer(const DequeuedBuffer&) = delete;
    DequeuedBuffer& operator=(const DequeuedBuffer&) = delete;

    bool dequeue()
    {
        held = ioctlRetry(fd, VIDIOC_DQBUF, &buffer) >= 0;
        return held;
    }
    bool requeue()
    {
        held = false;
        return ioctlRetry(fd, VIDIOC_QBUF, &buffer) >= 0;
    }

    uint32_t index() const { return buffer.index; }
    // The receiver flags a damaged transfer, and a buffer it filled only in
    // part (less than `imageSize`) is no sub-frame either.
    bool damaged(size_t imageSize) const
    {
        const uint32_t used = multi ? planes[0].bytesused : buffer.bytesused;
        return (buffer.flags & V4L2_BUF_FLAG_ERROR) || (imageSize > 0 && used < imageSize);
    }
    size_t length() const { return multi ? planes[0].length : buffer.length; }
    bool monotonicStamp() const
    {
        return (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    }
    int64_t stampUs() const { return microseconds(buffer.timestamp); }

private:
    const int fd;
    const bool multi;
    v4l2_plane planes[VIDEO_MAX_PLANES]{};
    v4l2_buffer buffer{};
    bool held = false;
};

} // namespace

QuorvexTOFCSISensor::QuorvexTOFCSISensor(const std::string& path, BoardKind board) : boardKind(board)
{
    std::snprintf(devicePath, sizeof devicePath, "%s", path.c_str());
}

const CsiBoardProfile& QuorvexTOFCSISensor::board() const
{
    return csiBoardProfile(boardKind);
}

bool QuorvexTOFCSISensor::mediaBoard() const
{
    return board().discovery == CsiDiscovery::Media;
}

bool QuorvexTOFCSISensor::multiPlanar() const
{
    return bufferType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

TofErrorCode QuorvexTOFCSISensor::open(CameraInfo& cameraInfo)
{
    // A second open must not leak what the first one took.
    if (videoFd >= 0 || pipeline.i2cFd >= 0 || pipeline.subdevCount > 0)
        close();

    KernelAccess& k = kernel();
    UniqueFd video(k.open(devicePath, O_RDWR));
    if (!video.isValid())
        return QuorvexSystemError;
    // From here on close() owns the node, whatever open() decides.
    videoFd = video.release();

    // --- Capabilities ---
    v4l2_capability caps{};
    if (ioctlRetry(videoFd, VIDIOC_QUERYCAP, &caps) < 0) {
        // A node that cannot even say what it is: refuse it rather than end
        // the host program.
        std::fprintf(stderr, "VIDIOC_QUERYCAP: error - %d\n", errno);
        return QuorvexSystemError;
    }
    // The physical device's capabilities, not those of this node.
    if (!(caps.capabilities & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)))
        return QuorvexSystemError;
    if (!(caps.capabilities & V4L2_CAP_STREAMING))
        return QuorvexSystemError;
    const CsiBoardProfile& profile = board();
    bufferType = profile.bufferType;

    // --- Pipeline and bus discovery ---
    // Whatever a media walk misses shows up below, in the bus lookup or the
    // size query; but a module entity whose sub-device did not open must
    // fail here, or another sub-device (the Pi 5's bridge) would answer for
    // the module's size and controls, wrongly.
    if (profile.discovery == CsiDiscovery::Media && !discoverMediaPipeline(pipeline, videoFd, *profile.media))
        return QuorvexSystemError;
    if (profile.discovery == CsiDiscovery::SysfsName &&
        discoverBusFromSysfsName(pipeline, videoFd, profile.sysfsModuleName) != QuorvexSuccess)
        return QuorvexSystemError;

    if (profile.selectsInput && ioctlRetry(videoFd, VIDIOC_S_INPUT, &input) < 0)
        return QuorvexSystemError;
    if (setupI2cBus(pipeline) != QuorvexSuccess)
        return QuorvexSystemError;

    // --- Frame size ---
    uint32_t width = cameraInfo.width;
    uint32_t height = cameraInfo.height;
    const TofErrorCode result = readFrameSize(width, height);
    cameraInfo.width = width;
    cameraInfo.height = height;
    cameraInfo.bit_width = 12;
    cameraInfo.bpp = 2;
    info = cameraInfo;
    rangeSwitch.reset(readModuleRange());
    return result;
}

TofErrorCode QuorvexTOFCSISensor::readFrameSize(uint32_t& width, uint32_t& height)
{
    if (mediaBoard()) {
        // The module's own size (its default, the try format of a fresh
        // handle): the receiver follows whatever the module sends.
        const int fd = pipeline.sensorSubdev();
        v4l2_subdev_format format{};
        if (fd < 0 || ioctlOnce(fd, VIDIOC_SUBDEV_G_FMT, &format) < 0)
            return QuorvexSystemError;
        width = format.format.width;
        height = format.format.height;
        return QuorvexSuccess;
    }
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctlOnce(videoFd, VIDIOC_G_FMT, &format) < 0)
        return QuorvexSystemError;
    width = format.fmt.pix.width;
    height = format.fmt.pix.height;
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCSISensor::setFormat()
{
    if (videoFd < 0)
        return QuorvexSuccess;

    v4l2_format format{};
    format.type = bufferType;
    if (multiPlanar()) {
        v4l2_pix_format_mplane& mp = format.fmt.pix_mp;
        mp.width = streamWidth;
        mp.height = streamHeight;
        mp.pixelformat = V4L2_PIX_FMT_Y12;
        mp.field = V4L2_FIELD_NONE;
        mp.num_planes = 1;
        mp.plane_fmt[0].sizeimage = streamWidth * streamHeight * 2;
        mp.plane_fmt[0].bytesperline = streamWidth * 2;
    } else {
        v4l2_pix_format& pix = format.fmt.pix;
        pix.width = streamWidth;
        pix.height = streamHeight;
        pix.pixelformat = board().pixelFormat;
        pix.field = V4L2_FIELD_NONE;
    }
    if (ioctlRetry(videoFd, VIDIOC_TRY_FMT, &format) < 0)
        return QuorvexUnkownError;
    if (ioctlRetry(videoFd, VIDIOC_S_FMT, &format) < 0)
        return QuorvexUnkownError;
    imageSize = multiPlanar() ? format.fmt.pix_mp.plane_fmt[0].sizeimage : format.fmt.pix.sizeimage;

    if (mediaBoard())
        return setSubdevFormats();

    v4l2_format readBack{};
    readBack.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (ioctlOnce(videoFd, VIDIOC_G_FMT, &readBack) < 0)
        return QuorvexSystemError;
    if (readBack.fmt.pix.width != streamWidth || readBack.fmt.pix.height != streamHeight)
        return QuorvexUnkownError;
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCSISensor::setSubdevFormats()
{
    for (uint8_t i = 0; i < pipeline.subdevCount; ++i) {
        if (pipeline.subdevFds[i] < 0)
            return QuorvexUnkownError;
        v4l2_subdev_format format{};
        format.which = V4L2_SUBDEV_FORMAT_ACTIVE;
        format.pad = 0;
        format.format.width = streamWidth;
        format.format.height = streamHeight;
        format.format.code = MEDIA_BUS_FMT_Y12_1X12;
        format.format.field = V4L2_FIELD_NONE;
        if (ioctlRetry(pipeline.subdevFds[i], VIDIOC_SUBDEV_S_FMT, &format) < 0)
            return QuorvexUnkownError;
    }
    // Checked against the active format just set: a fresh handle's try
    // format holds only the driver's default and would refuse every other
    // size the module can stream.
    const int fd = pipeline.sensorSubdev();
    v4l2_subdev_format readBack{};
    readBack.which = V4L2_SUBDEV_FORMAT_ACTIVE;
    if (fd < 0 || ioctlOnce(fd, VIDIOC_SUBDEV_G_FMT, &readBack) < 0)
        return QuorvexSystemError;
    if (readBack.format.width != streamWidth || readBack.format.height != streamHeight)
        return QuorvexUnkownError;
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCSISensor::start()
{
    // The frame geometry is fixed for the whole stream here.
    streamWidth = info.width;
    streamHeight = info.height;
    if (setFormat() != QuorvexSuccess)
        return QuorvexUnkownError;
    if (videoFd < 0)
        return QuorvexUnkownError;

    // --- Buffers ---
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = bufferType;
    request.memory = V4L2_MEMORY_MMAP;
    if (ioctlRetry(videoFd, VIDIOC_REQBUFS, &request) < 0)
        return QuorvexUnkownError;
    buffersRequested = request.count > 0;
    // Frames are assembled from exactly eight buffers: with fewer the
    // stream would run dry, more could not be told apart from a bad index.
    if (request.count != kBufferCount) {
        // Mostly a driver short of contiguous memory (VGA frames are large):
        // say how much the stream needs, so it can be reserved.
        const unsigned long long each = imageSize;
        std::fprintf(stderr,
                     "VIDIOC_REQBUFS: asked for %d buffers of %llu bytes, granted %u; the stream needs "
                     "%llu bytes (%.1f MiB) of contiguous memory\n",
                     kBufferCount, each, request.count, each * kBufferCount,
                     static_cast<double>(each * kBufferCount) / (1024.0 * 1024.0));
        releaseBuffers();
        return QuorvexUnkownError;
    }

    if (mapBuffers() != QuorvexSuccess)
        return QuorvexUnkownError;

    // Nothing captured before this stream can reach it.
    rangeSwitch.streamStarts();
    int type = static_cast<int>(bufferType);
    if (ioctlRetry(videoFd, VIDIOC_STREAMON, &type) < 0) {
        // As for the buffers: a start that fails leaves nothing mapped or
        // allocated, so that the next one can set its format.
        unmapBuffers();
        releaseBuffers();
        return QuorvexSystemError;
    }
    streaming = true;
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCSISensor::mapBuffers()
{
    KernelAccess& k = kernel();
    const CsiConverter boardConverter = board().converter;
    for (uint32_t i = 0; i < kBufferCount; ++i) {
        v4l2_plane planes[VIDEO_MAX_PLANES]{};
        v4l2_buffer buffer{};
        buffer.type = bufferType;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (multiPlanar()) {
            buffer.m.planes = planes;
            buffer.length = 1;
        }
        bool ok = ioctlRetry(videoFd, VIDIOC_QUERYBUF, &buffer) >= 0;
        if (ok) {
            const size_t length = multiPlanar() ? planes[0].length : buffer.length;
            const off_t offset = multiPlanar() ? planes[0].m.mem_offset : buffer.m.offset;
            converter = !multiPlanar() && length == kStride512Bytes ? copyStride512 : boardConverter;
            void* mapping = k.mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, videoFd, offset);
            ok = mapping != MAP_FAILED;
            if (ok) {
                buffers[i] = mapping;
                mappedLengths[i] = length;
                mappedCount = static_cast<int>(i) + 1;
                ok = ioctlRetry(videoFd, VIDIOC_QBUF, &buffer) >= 0;
            }
        }
        if (!ok) {
            // Nothing half set up stays behind: the buffers go back to the
            // driver, which only takes them once they are unmapped.
            unmapBuffers();
            releaseBuffers();
            return QuorvexUnkownError;
        }
    }
    return QuorvexSuccess;
}

int QuorvexTOFCSISensor::unmapBuffers()
{
    KernelAccess& k = kernel();
    int failed = 0;
    for (int i = 0; i < mappedCount; ++i) {
        if (buffers[i] && k.munmap(buffers[i], mappedLengths[i]) < 0)
            ++failed;
        buffers[i] = nullptr;
        mappedLengths[i] = 0;
    }
    mappedCount = 0;
    return failed;
}

void QuorvexTOFCSISensor::releaseBuffers()
{
    if (!buffersRequested || videoFd < 0)
        return;
    v4l2_requestbuffers request{};
    request.count = 0;
    request.type = bufferType;
    request.memory = V4L2_MEMORY_MMAP;
    (void)ioctlRetry(videoFd, VIDIOC_REQBUFS, &request);
    buffersRequested = false;
}

TofErrorCode QuorvexTOFCSISensor::stop()
{
    if (videoFd < 0)
        return QuorvexSystemError;
    int type = static_cast<int>(bufferType);
    if (ioctlRetry(videoFd, VIDIOC_STREAMOFF, &type) < 0)
        return QuorvexSystemError;
    streaming = false;
    const int failed = unmapBuffers();
    // Drivers refuse a new format while buffers are allocated: give them
    // back so that the next start can set one.
    releaseBuffers();
    return failed ? QuorvexSystemError : QuorvexSuccess;
}

TofErrorCode QuorvexTOFCSISensor::close()
{
    // A stream left running (a failed camera start never reaches stop) and
    // its mappings keep the capture node busy even after its descriptor is
    // closed: stream off, unmap, give the buffers back, then close.
    if (videoFd >= 0 && (streaming || mappedCount > 0 || buffersRequested)) {
        int type = static_cast<int>(bufferType);
        (void)ioctlRetry(videoFd, VIDIOC_STREAMOFF, &type);
    }
    streaming = false;
    unmapBuffers();
    releaseBuffers();
    pipeline.closeSubdevs();
    closeDescriptor(videoFd);
    pipeline.close();
    return QuorvexSuccess;
}

CameraInfo QuorvexTOFCSISensor::getCameraInfo()
{
    return info;
}

TofErrorCode QuorvexTOFCSISensor::waitForBuffer(std::chrono::steady_clock::time_point deadline)
{
    pollfd request{videoFd, POLLIN, 0};
    for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
        // Rounded up, so that the last wait before the deadline is not a
        // run of zero-length polls; past it, a buffer already done still
        // counts.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        const int r = kernel().poll(&request, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (r < 0 && errno == EINTR)
            continue;
        // A time-out (a stream that stalled) or an error the dequeue would
        // only repeat.
        if (r <= 0 || !(request.revents & POLLIN))
            return QuorvexSystemError;
        return QuorvexSuccess;
    }
    return QuorvexSystemError;
}

TofErrorCode QuorvexTOFCSISensor::getFrame(uint8_t* dst, int64_t* timestamp)
{
    if (subFrameCount <= 0) {
        *timestamp = 0;
        return QuorvexSuccess;
    }
    if (videoFd < 0)
        return QuorvexSystemError;

    const size_t samples = static_cast<size_t>(streamWidth) * streamHeight;
    const size_t subFrameBytes = samples * 2;
    // unpackY12P counts its position in samples, the others in bytes.
    const size_t positionUnit = converter == unpackY12P ? samples : subFrameBytes;
    // On the buffers' clock only a long pause marks a new frame; a stamp
    // earlier than the previous one does not.
    SubFrameAssembler frame(subFrameCount, kMaxSubFrameGapUs, SubFrameAssembler::StepBack::Continues, rangeSwitch);
    // One limit for the whole frame, not one per buffer: a stream whose
    // buffers all lie more than the gap apart (a module or driver sending
    // one image per frame period) restarts the frame on every buffer and
    // would otherwise keep the capture thread here for as long as it runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFrameTimeoutMs);
    bool monotonic = true;
    lastHostStampNs = -1;
    while (!frame.complete()) {
        const TofErrorCode waited = waitForBuffer(deadline);
        if (waited != QuorvexSuccess)
            return waited;
        DequeuedBuffer buffer(videoFd, bufferType);
        if (!buffer.dequeue())
            return QuorvexSystemError;
        // Not one of ours: it goes straight back so the driver does not run
        // short, and the frame is dropped.
        if (buffer.index() >= kBufferCount || !buffers[buffer.index()])
            return QuorvexNoCache;

        // A damaged buffer restarts the frame with the next one.
        const bool usable = !buffer.damaged(imageSize);
        if (usable) {
            const int32_t n = frame.place(buffer.stampUs());
            monotonic = buffer.monotonicStamp();
            // Exactly one sub-frame per buffer: page padding and whatever a
            // driver reports beyond the image are cut, and a short buffer
            // leaves the rest of its sub-frame as it was.
            size_t length = std::min(buffer.length(), mappedLengths[buffer.index()]);
            if (imageSize > 0)
                length = std::min(length, imageSize);
            size_t p = static_cast<size_t>(n) * positionUnit;
            converter(static_cast<const uint8_t*>(buffers[buffer.index()]), dst, length, streamWidth, p,
                      static_cast<size_t>(n + 1) * subFrameBytes);
        } else {
            frame.restart();
        }
        if (!buffer.requeue())
            return QuorvexSystemError;
        if (usable)
            frame.stored();
    }
    *timestamp = frame.lastStamp() / 1000;
    // The kernel's stamp is the capture time on the host's clock already
    // (taken by the driver as the buffer completed, or as it began when the
    // driver says so): the millisecond timestamp would only lose precision.
    if (monotonic)
        lastHostStampNs = frame.lastStamp() * 1000;
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCSISensor::setV4l2Control(uint32_t id, int32_t value)
{
    const int fd = pipeline.sensorSubdev();
    v4l2_control control{id, value};
    if (fd < 0) {
        errno = EBADF;
        std::perror("VIDIOC_S_CTRL");
        return QuorvexUnkownError;
    }
    if (ioctlRetry(fd, VIDIOC_S_CTRL, &control) < 0) {
        std::perror("VIDIOC_S_CTRL");
        return QuorvexUnkownError;
    }
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCSISensor::getV4l2Control(uint32_t id, int32_t& value)
{
    const int fd = pipeline.sensorSubdev();
    v4l2_control control{id, 0};
    if (fd < 0) {
        errno = EBADF;
        std::perror("VIDIOC_G_CTRL");
        return QuorvexUnkownError;
    }
    if (ioctlRetry(fd, VIDIOC_G_CTRL, &control) < 0) {
        std::perror("VIDIOC_G_CTRL");
        return QuorvexUnkownError;
    }
    value = control.value;
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCSISensor::setControl(CameraCtrl ctrl, int value)
{
    switch (ctrl) {
    case CameraCtrl::RANGE: {
        const int32_t rangeMm = rangeFromControl(value);
        return rangeMm != 0 ? applyRange(rangeMm) : QuorvexInvalidParameter;
    }
    case CameraCtrl::FMT_WIDTH:
        info.width = static_cast<uint32_t>(value);
        return QuorvexSuccess;
    case CameraCtrl::FMT_HEIGHT:
        info.height = static_cast<uint32_t>(value);
        return QuorvexSuccess;
    case CameraCtrl::EXPOSURE:
        return setV4l2Control(V4L2_CID_EXPOSURE, value);
    case CameraCtrl::FRAME_RATE:
        frameRate.store(value);
        return writeRegister(kFrameRateRegister, static_cast<uint32_t>(value));
    default:
        return QuorvexInvalidParameter;
    }
}

TofErrorCode QuorvexTOFCSISensor::getControl(CameraCtrl ctrl, int* value)
{
    int32_t v = 0;
    switch (ctrl) {
    case CameraCtrl::RANGE: {
        const TofErrorCode r = getV4l2Control(kRangeControl, v);
        if (r == QuorvexSuccess)
            *value = controlFromRange(rangeOfControl(v));
        return r;
    }
    case CameraCtrl::FMT_WIDTH:
        *value = static_cast<int>(info.width);
        return QuorvexSuccess;
    case CameraCtrl::FMT_HEIGHT:
        *value = static_cast<int>(info.height);
        return QuorvexSuccess;
    case CameraCtrl::EXPOSURE: {
        const TofErrorCode r = getV4l2Control(V4L2_CID_EXPOSURE, v);
        if (r == QuorvexSuccess)
            *value = v;
        return r;
    }
    case CameraCtrl::FRAME_RATE:
        *value = frameRate.load();
        return QuorvexSuccess;
    default:
        return QuorvexInvalidParameter;
    }
}

TofErrorCode QuorvexTOFCSISensor::setModuleRange(int rangeMm)
{
    if (!isModuleRange(rangeMm))
        return QuorvexInvalidParameter;
    // A driver without the control cannot change the range, but a module
    // asked for the range it runs at needs no change.
    if (pipeline.sensorSubdev() < 0 && rangeMm == rangeSwitch.moduleRange())
        return QuorvexSuccess;
    return applyRange(rangeMm);
}

TofErrorCode QuorvexTOFCSISensor::applyRange(int32_t rangeMm)
{
    const TofErrorCode r = setV4l2Control(kRangeControl, rangeMm == kNearRangeMm ? 1 : 0);
    // Taken once the module has the change: every frame stamped up to here
    // began before it.
    if (r == QuorvexSuccess)
        rangeSwitch.requested(rangeMm, monotonicMicroseconds());
    return r;
}

int32_t QuorvexTOFCSISensor::readModuleRange() const
{
    const int fd = pipeline.sensorSubdev();
    v4l2_control control{kRangeControl, 0};
    if (fd < 0 || ioctlRetry(fd, VIDIOC_G_CTRL, &control) < 0)
        return kStartRangeMm;
    return rangeOfControl(control.value);
}

TofErrorCode QuorvexTOFCSISensor::writeRegister(uint16_t reg, uint32_t value)
{
    return Quorvex::writeRegister(pipeline.i2cFd, pipeline.chipAddress, reg, value);
}

} // namespace Quorvex
