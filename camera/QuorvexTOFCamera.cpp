#include "camera/QuorvexTOFCamera.h"

#include <cstdint>
#include <cstdio>
#include <system_error>
#include <utility>

#include "camera/FrameQueue.h"
#include "device/DeviceFactory.h"
#include "device/QuorvexDevice.h"
#include "sensor/QuorvexTOFSensor.h"
#include "sensor/SensorFactory.h"

namespace Quorvex {

namespace {

// Bytes of 16-bit samples in a width x rows frame; 64-bit so that a large
// geometry cannot wrap on a 32-bit host.
uint64_t frameBytes(int64_t width, int64_t rows)
{
    if (width <= 0 || rows <= 0)
        return 0;
    return static_cast<uint64_t>(width) * static_cast<uint64_t>(rows) * 2u;
}

} // namespace

QuorvexTOFCamera::QuorvexTOFCamera() : boardKind(detectBoard()) {}

QuorvexTOFCamera::~QuorvexTOFCamera()
{
    // A joinable thread handle would end the process when destroyed.
    if (capture.joinable())
        stop();
    closeOpened();
    std::shared_ptr<FrameQueue> old;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        old.swap(queue);
    }
    if (old)
        old->shutdown();
    old.reset();
    device.reset();
    sensor.reset();
}

void QuorvexTOFCamera::closeOpened()
{
    if (device && deviceOpened)
        (void)device->close();
    deviceOpened = false;
    if (sensor && sensorOpened)
        (void)sensor->close();
    sensorOpened = false;
}

void QuorvexTOFCamera::installSensor(std::unique_ptr<QuorvexTOFSensor> next)
{
    // The device keeps a pointer to the sensor it was opened with, so it
    // goes with that sensor. Both are closed first if still open: a leaked
    // capture node would keep the module busy for the new sensor.
    closeOpened();
    device.reset();
    sensor = std::move(next);
}

TofErrorCode QuorvexTOFCamera::open(Connection connect, int index)
{
    // Sensor and device are in use by the capture thread.
    if (!stopped.load())
        return QuorvexUnkownError;

    info.index = static_cast<uint32_t>(index);
    info.connect = connect;

    SensorRequest request{connect, {}, boardKind, {}, index};
    if (connect == Connection::CSI) {
        char path[80];
        std::snprintf(path, sizeof(path), "/dev/video%d", index);
        request.devicePath = path;
    } else if (connect != Connection::USB) {
        return QuorvexUnkownError;
    }
    std::unique_ptr<QuorvexTOFSensor> next = createSensor(request);
    if (!next)
        return QuorvexUnkownError;
    installSensor(std::move(next));
    return openInstalled();
}

TofErrorCode QuorvexTOFCamera::openWithFile(const char* path, int index)
{
    if (!path || !stopped.load())
        return QuorvexUnkownError;

    info.index = static_cast<uint32_t>(index);
    info.connect = Connection::USB;

    SensorRequest request{Connection::USB, {}, boardKind, path, index};
    std::unique_ptr<QuorvexTOFSensor> next = createSensor(request);
    if (!next)
        return QuorvexUnkownError;
    installSensor(std::move(next));
    return openInstalled();
}

TofErrorCode QuorvexTOFCamera::openInstalled()
{
    opened = false;
    // A sensor whose open failed may still hold what it got before the
    // failing step (a capture node, a library camera): only its close
    // releases that, so a failed open is closed at once rather than left
    // for a later open or the destructor to find.
    sensorOpened = true;
    TofErrorCode r;
    try {
        r = sensor->open(info);
        if (r == QuorvexSuccess)
            r = openPostHandle();
    } catch (...) {
        closeOpened();
        throw;
    }
    if (r != QuorvexSuccess) {
        closeOpened();
        return r;
    }
    opened = true;
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCamera::openPostHandle()
{
    if (!sensor || !stopped.load())
        return QuorvexUnkownError;

    const DeviceType type = deviceTypeForSize(info.width, info.height);
    // The HQVGA module delivers one frame as four 240 x 180 phase
    // sub-frames, which the sensor assembles in one read.
    if (type == HQVGA)
        sensor->subFrameCount = 4;

    // The board matters to a device only for frames that pass through the
    // board's CSI-2 receiver (a Jetson receiver left-aligns its samples). A
    // USB module's samples arrive right-aligned whatever the host, so a
    // Jetson's shift applied to them would decode garbage.
    const BoardKind deviceBoard = info.connect == Connection::CSI ? boardKind : BOARD_UNKNOWN;
    std::unique_ptr<QuorvexDevice> next = createDevice(info.width, info.height, deviceBoard);
    if (!next)
        return QuorvexUnkownError;
    // Only a direct second call gets here with an open device.
    if (device && deviceOpened)
        (void)device->close();
    device = std::move(next);
    info.device_type = type;

    const TofErrorCode r = device->open(sensor.get(), type);
    deviceOpened = r == QuorvexSuccess;
    return r;
}

TofErrorCode QuorvexTOFCamera::start(FrameType type)
{
    // A second start must not reconfigure a sensor and a device that the
    // capture thread is using.
    if (!sensor || !device || !opened || !stopped.load())
        return QuorvexUnkownError;

    // Re-applies the device's current range; a device that knows none
    // simply refuses both calls.
    int range = 0;
    (void)getControl(CameraCtrl::RANGE, &range);
    (void)setControl(CameraCtrl::RANGE, range);

    TofErrorCode r = device->setupSensor();
    if (r != QuorvexSuccess)
        return r;

    // The stream's record as it will be once started: setupSensor may have
    // changed the sensor's format, which start does not change again.
    CameraInfo planned = info;
    const CameraInfo current = sensor->getCameraInfo();
    planned.width = current.width;
    planned.height = current.height;
    planned.bit_width = current.bit_width;
    planned.bpp = current.bpp;
    planned.type = type;

    // Whether the stream can run at all is settled, and its memory taken,
    // before anything starts: nothing is left to undo when it cannot. The
    // record then names the refused type, as a refusing setOutputType
    // leaves it.
    std::shared_ptr<FrameQueue> next;
    try {
        r = buildQueue(type, planned, next);
    } catch (...) {
        info = planned;
        throw;
    }
    if (r != QuorvexSuccess) {
        info = planned;
        return r;
    }

    // Each step that fails is undone with whatever it started, in reverse
    // order; a sensor is stopped even when its own start failed, since it
    // may have got halfway (a library that keeps its started state, a
    // capture node with buffers).
    r = sensor->start();
    if (r != QuorvexSuccess) {
        (void)sensor->stop();
        return r;
    }
    r = device->start();
    if (r != QuorvexSuccess) {
        (void)device->stop();
        (void)sensor->stop();
        return r;
    }

    info = planned;
    installQueue(next);
    stopped.store(false);
    try {
        capture = std::thread(&QuorvexTOFCamera::captureThread, this, next, type);
    } catch (...) {
        // Without a thread there is nothing for stop or close to join.
        stopped.store(true);
        next->endStream();
        (void)device->stop();
        (void)sensor->stop();
        throw;
    }
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCamera::buildQueue(FrameType type, const CameraInfo& planned,
                                          std::shared_ptr<FrameQueue>& out)
{
    // One capture is all sub-frames back to back.
    const int64_t rows = static_cast<int64_t>(planned.height) * sensor->subFrameCount;
    CameraInfo whole = planned;
    whole.height = static_cast<uint32_t>(rows);

    device->getFrameFormats(rawGeometry, depthGeometry);
    if (type != FrameType::RAW && type != FrameType::DEPTH)
        return QuorvexUnkownError;

    // The device converts from the scratch frame as much as its raw geometry
    // says. A device whose size or frequency mode does not match the module
    // would read past one capture.
    if (rows < 0 || rows > static_cast<int64_t>(UINT32_MAX) ||
        frameBytes(rawGeometry.width, rawGeometry.height) > frameBytes(planned.width, rows))
        return QuorvexUnkownError;

    out = std::make_shared<FrameQueue>(whole, type == FrameType::DEPTH ? depthGeometry : rawGeometry);
    return QuorvexSuccess;
}

void QuorvexTOFCamera::installQueue(std::shared_ptr<FrameQueue> next)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        next.swap(queue);
        // Counted before the old queue goes: whoever reads the same count
        // after its wait as before it knows its frame's queue is intact.
        generation.fetch_add(1, std::memory_order_acq_rel);
    }
    // Callers still waiting on the old queue wake with nothing; whoever still
    // holds a copy keeps it alive until they leave.
    if (next)
        next->shutdown();
}

TofErrorCode QuorvexTOFCamera::setOutputType(FrameType type)
{
    if (!stopped.load() || !sensor || !device)
        return QuorvexUnkownError;
    info.type = type;
    std::shared_ptr<FrameQueue> next;
    const TofErrorCode r = buildQueue(type, info, next);
    if (r != QuorvexSuccess)
        return r;
    installQueue(std::move(next));
    return QuorvexSuccess;
}

TofErrorCode QuorvexTOFCamera::stop()
{
    stopped.store(true);
    // Throws std::system_error when no capture thread runs, before anything
    // is stopped.
    capture.join();
    // Nothing more will be posted: callers waiting for a frame stop waiting.
    if (std::shared_ptr<FrameQueue> q = currentQueue())
        q->endStream();
    if (device)
        (void)device->stop();
    return sensor ? sensor->stop() : QuorvexUnkownError;
}

TofErrorCode QuorvexTOFCamera::close()
{
    if (!sensor)
        return QuorvexUnkownError;
    if (!stopped.load())
        stop();
    if (device)
        (void)device->close();
    deviceOpened = false;
    const TofErrorCode r = sensor->close();
    sensorOpened = false;
    return r;
}

std::shared_ptr<FrameQueue> QuorvexTOFCamera::currentQueue()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    return queue;
}

} // namespace Quorvex
