#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "sim/SimDeviceNode.h"

namespace Quorvex::Sim {

// A V4L2 sub-device: pad formats (an active set shared by all, a try set per
// open file, as the kernel keeps them) and integer controls.
// VIDIOC_SUBDEV_S_FMT adjusts the request the way drivers do: an unknown
// media-bus code becomes the first supported one, and a sensor with a fixed
// frame size keeps that size whatever is asked.
class SimSubdevice final : public SimDeviceNode {
public:
    struct Format {
        uint32_t width;
        uint32_t height;
        uint32_t code;
        uint32_t field;
    };

    // `codes` must not be empty; its first entry is the initial code.
    SimSubdevice(uint16_t pads, uint32_t width, uint32_t height, std::vector<uint32_t> codes,
                 bool fixedSize);

    // An integer control; out-of-range values are clamped and rounded to
    // the step as the V4L2 control framework does.
    void addControl(uint32_t id, int32_t minimum, int32_t maximum, int32_t step, int32_t value);
    int32_t control(uint32_t id) const;
    // The value the control held at `when`: what a module latching its
    // settings at a frame's start runs that frame with.
    int32_t controlAt(uint32_t id, std::chrono::steady_clock::time_point when) const;
    // Every successful VIDIOC_S_CTRL in order: (id, value stored).
    std::vector<std::pair<uint32_t, int32_t>> controlWrites() const;
    Format activeFormat(uint16_t pad) const;

    int open(SimOpenFile& file) override;
    int ioctl(SimOpenFile& file, unsigned long request, void* arg) override;

private:
    struct Control {
        int32_t minimum, maximum, step, value, initial;
    };
    struct TimedWrite {
        uint32_t id;
        int32_t value;
        std::chrono::steady_clock::time_point at;
    };
    struct TryFormats;

    int getFormat(SimOpenFile& file, void* arg);
    int setFormat(SimOpenFile& file, void* arg);
    int getControl(void* arg);
    int setControl(void* arg);

    mutable std::mutex mutex_;
    const uint16_t pads_;
    const bool fixedSize_;
    const std::vector<uint32_t> codes_;
    const Format initial_;
    std::vector<Format> active_;
    std::map<uint32_t, Control> controls_;
    std::vector<std::pair<uint32_t, int32_t>> controlWrites_;
    std::vector<TimedWrite> history_;
};

} // namespace Quorvex::Sim
