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
#include "sensor/UniqueFd.h"
#include "sensor/V4l2Helpers.h"

// Older headers lack the packed 12-bit grey format the Pi 5 receiver writes.
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

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

constexpr int32_t kNearRangeMm = 2000;
constexpr int32_t kFarRangeMm = 4000;

} // namespace

QuorvexTOFCSISensor::QuorvexTOFCSISensor(const std::string& path, BoardKind board) : boardKind(board)
{
    std::snprintf(devicePath, sizeof devicePath, "%s", path.c_str());
}

bool QuorvexTOFCSISensor::mediaBoard() const
{
    return boardKind >= BOARD_RASPBERRY_PI && boardKind <= BOARD_RADXA_ROCK;
}

bool QuorvexTOFCSISensor::jetsonBoard() const
{
    return boardKind >= BOARD_JETSON_TX1_NANO && boardKind <= 4;
}

bool QuorvexTOFCSISensor::multiPlanar() const
{
    return bufferType == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

CsiPipeline QuorvexTOFCSISensor::pipelineState() const
{
    CsiPipeline state;
    std::copy(std::begin(subdevFds), std::end(subdevFds), state.subdevFds);
    state.sensorSubdevIndex = sensorSubdevIndex;
    state.subdevCount = subdevCount;
    std::memcpy(state.i2cBus, i2cBus, sizeof i2cBus);
    state.i2cFd = i2cFd;
    state.chipAddress = chipAddress;
    std::memcpy(state.mediaPath, mediaPath, sizeof mediaPath);
    return state;
}

void QuorvexTOFCSISensor::adoptPipeline(const CsiPipeline& state)
{
    std::copy(std::begin(state.subdevFds), std::end(state.subdevFds), subdevFds);
    sensorSubdevIndex = state.sensorSubdevIndex;
    subdevCount = state.subdevCount;
    std::memcpy(i2cBus, state.i2cBus, sizeof i2cBus);
    i2cFd = state.i2cFd;
    chipAddress = state.chipAddress;
    std::memcpy(mediaPath, state.mediaPath, sizeof mediaPath);
}

TofErrorCode QuorvexTOFCSISensor::open(CameraInfo& cameraInfo)
{
    // A second open must not leak what the first one took.
    if (videoFd >= 0 || i2cFd >= 0 || subdevCount > 0)
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
    // The Radxa receiver only offers multi-planar buffers.
    bufferType = boardKind == BOARD_RADXA_ROCK ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;

    // --- Pipeline and bus discovery ---
    if (mediaBoard()) {
        // Whatever else it misses shows up below, in the bus lookup or the
        // size query.
        CsiPipeline state = pipelineState();
        const bool moduleReached = discoverMediaPipeline(state, videoFd, *mediaPipelineRule(boardKind));
        adoptPipeline(state);
        // Another sub-device (the Pi 5's bridge) would answer for the
        // module's size and controls, wrongly.
        if (!moduleReached)
            return QuorvexSystemError;
    } else if (jetsonBoard()) {
        subdevCount = 0;
        CsiPipeline state = pipelineState();
        const TofErrorCode r = discoverBusFromSysfsName(state, videoFd, jetsonModuleName);
        adoptPipeline(state);
        if (r != QuorvexSuccess)
            return QuorvexSystemError;
    } else {
        subdevCount = 0;
    }

    // The Radxa node has no inputs to choose from.
    if (boardKind != BOARD_RADXA_ROCK && ioctlRetry(videoFd, VIDIOC_S_INPUT, &input) < 0)
        return QuorvexSystemError;

    {
        CsiPipeline state = pipelineState();
        const TofErrorCode r = setupI2cBus(state);
        adoptPipeline(state);
        if (r != QuorvexSuccess)
            return QuorvexSystemError;
    }

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
        const int fd = sensorSubdevIndex < 4 ? subdevFds[sensorSubdevIndex] : -1;
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
        // The Pi 5 receiver writes the 12-bit samples packed.
        pix.pixelformat = boardKind == BOARD_RASPBERRY_PI_5 ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12;
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
    for (uint8_t i = 0; i < subdevCount; ++i) {
        if (subdevFds[i] < 0)
            return QuorvexUnkownError;
        v4l2_subdev_format format{};
        format.which = V4L2_SUBDEV_FORMAT_ACTIVE;
        format.pad = 0;
        format.format.width = streamWidth;
        format.format.height = streamHeight;
        format.format.code = MEDIA_BUS_FMT_Y12_1X12;
        format.format.field = V4L2_FIELD_NONE;
        if (ioctlRetry(subdevFds[i], VIDIOC_SUBDEV_S_FMT, &format) < 0)
            return QuorvexUnkownError;
    }
    // Checked against the active format just set: a fresh handle's try
    // format holds only the driver's default and would refuse every other
    // size the module can stream.
    const int fd = sensorSubdevIndex < 4 ? subdevFds[sensorSubdevIndex] : -1;
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

    KernelAccess& k = kernel();
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
            if (!multiPlanar() && length == kStride512Bytes)
                converter = copyStride512;
            else if (boardKind == BOARD_JETSON)
                converter = copyBlock960;
            else if (boardKind == BOARD_RASPBERRY_PI_5)
                converter = unpackY12P;
            else
                converter = copyPlain;
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

    // Nothing captured before this stream can reach it.
    rangeSwitch.streamStarts();
    int type = static_cast<int>(bufferType);
    if (ioctlRetry(videoFd, VIDIOC_STREAMON, &type) < 0) {
        // As for the buffers above: a start that fails leaves nothing
        // mapped or allocated, so that the next one can set its format.
        unmapBuffers();
        releaseBuffers();
        return QuorvexSystemError;
    }
    streaming = true;
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
    KernelAccess& k = kernel();
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
    for (int& fd : subdevFds) {
        if (fd >= 0)
            k.close(fd);
        fd = -1;
    }
    subdevCount = 0;
    if (videoFd >= 0)
        k.close(videoFd);
    videoFd = -1;
    if (i2cFd >= 0)
        k.close(i2cFd);
    i2cFd = -1;
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
    int32_t n = 0;
    int64_t previousUs = 0;
    int64_t firstUs = 0;
    timeval last{};
    // One limit for the whole frame, not one per buffer: a stream whose
    // buffers all lie more than the gap apart (a module or driver sending
    // one image per frame period) restarts the frame on every buffer and
    // would otherwise keep the capture thread here for as long as it runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFrameTimeoutMs);
    while (n < subFrameCount) {
        const TofErrorCode waited = waitForBuffer(deadline);
        if (waited != QuorvexSuccess)
            return waited;
        v4l2_plane planes[VIDEO_MAX_PLANES]{};
        v4l2_buffer buffer{};
        buffer.type = bufferType;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (multiPlanar()) {
            buffer.m.planes = planes;
            buffer.length = 1;
        }
        if (ioctlRetry(videoFd, VIDIOC_DQBUF, &buffer) < 0)
            return QuorvexSystemError;
        if (buffer.index >= kBufferCount || !buffers[buffer.index]) {
            // Not one of ours: hand it straight back so the driver does not
            // run short, and drop the frame.
            (void)ioctlRetry(videoFd, VIDIOC_QBUF, &buffer);
            return QuorvexNoCache;
        }

        // The receiver flags a damaged transfer, and a buffer it filled
        // only in part is no sub-frame either: the frame restarts with the
        // next buffer.
        const uint32_t used = multiPlanar() ? planes[0].bytesused : buffer.bytesused;
        if ((buffer.flags & V4L2_BUF_FLAG_ERROR) || (imageSize > 0 && used < imageSize)) {
            if (ioctlRetry(videoFd, VIDIOC_QBUF, &buffer) < 0)
                return QuorvexSystemError;
            n = 0;
            continue;
        }

        const int64_t nowUs = microseconds(buffer.timestamp);
        if (n > 0 && nowUs - previousUs > kMaxSubFrameGapUs)
            n = 0; // a new frame began: this buffer is its first sub-frame
        if (n == 0)
            firstUs = nowUs;

        // Exactly one sub-frame per buffer: page padding and whatever a
        // driver reports beyond the image are cut, and a short buffer
        // leaves the rest of its sub-frame as it was.
        size_t length = multiPlanar() ? planes[0].length : buffer.length;
        length = std::min(length, mappedLengths[buffer.index]);
        if (imageSize > 0)
            length = std::min(length, imageSize);
        size_t p = static_cast<size_t>(n) * positionUnit;
        converter(static_cast<const uint8_t*>(buffers[buffer.index]), dst, length, streamWidth, p,
                  static_cast<size_t>(n + 1) * subFrameBytes);

        previousUs = nowUs;
        last = buffer.timestamp;
        if (ioctlRetry(videoFd, VIDIOC_QBUF, &buffer) < 0)
            return QuorvexSystemError;
        ++n;
        // Captured before a range change took effect: read the next one.
        if (n == subFrameCount && !rangeSwitch.accept(firstUs))
            n = 0;
    }
    *timestamp = static_cast<int64_t>(last.tv_sec) * 1000 + static_cast<int64_t>(last.tv_usec) / 1000;
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCSISensor::setV4l2Control(uint32_t id, int32_t value)
{
    const int fd = sensorSubdevIndex < 4 ? subdevFds[sensorSubdevIndex] : -1;
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
    const int fd = sensorSubdevIndex < 4 ? subdevFds[sensorSubdevIndex] : -1;
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
        if (value != 2 && value != 4)
            return QuorvexInvalidParameter;
        const TofErrorCode r = setV4l2Control(kRangeControl, value == 2 ? 1 : 0);
        // Taken once the module has the change: every frame stamped up to
        // here began before it.
        if (r == QuorvexSuccess)
            rangeSwitch.requested(value == 2 ? kNearRangeMm : kFarRangeMm, monotonicMicroseconds());
        return r;
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
            *value = v != 0 ? 2 : 4;
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
    if (rangeMm != kNearRangeMm && rangeMm != kFarRangeMm)
        return QuorvexInvalidParameter;
    const int fd = sensorSubdevIndex < 4 ? subdevFds[sensorSubdevIndex] : -1;
    // A driver without the control cannot change the range, but a module
    // asked for the range it runs at needs no change.
    if (fd < 0 && rangeMm == rangeSwitch.moduleRange())
        return QuorvexSuccess;
    return setControl(CameraCtrl::RANGE, rangeMm / 1000);
}

int32_t QuorvexTOFCSISensor::readModuleRange() const
{
    const int fd = sensorSubdevIndex < 4 ? subdevFds[sensorSubdevIndex] : -1;
    v4l2_control control{kRangeControl, 0};
    if (fd < 0 || ioctlRetry(fd, VIDIOC_G_CTRL, &control) < 0)
        return kFarRangeMm;
    return control.value != 0 ? kNearRangeMm : kFarRangeMm;
}

TofErrorCode QuorvexTOFCSISensor::writeRegister(uint16_t reg, uint32_t value)
{
    return Quorvex::writeRegister(i2cFd, chipAddress, reg, value);
}

} // namespace Quorvex
