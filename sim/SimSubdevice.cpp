#include "SimSubdevice.h"

#include <algorithm>
#include <cstring>

#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

namespace Quorvex::Sim {

struct SimSubdevice::TryFormats final : SimFileState {
    std::vector<Format> formats;
};

SimSubdevice::SimSubdevice(uint16_t pads, uint32_t width, uint32_t height, std::vector<uint32_t> codes,
                           bool fixedSize)
    : pads_(pads), fixedSize_(fixedSize), codes_(std::move(codes)),
      initial_{width, height, codes_.empty() ? 0u : codes_.front(), V4L2_FIELD_NONE}, active_(pads, initial_)
{
}

void SimSubdevice::addControl(uint32_t id, int32_t minimum, int32_t maximum, int32_t step, int32_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    controls_[id] = {minimum, maximum, step > 0 ? step : 1, value, value};
}

int32_t SimSubdevice::control(uint32_t id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = controls_.find(id);
    return it == controls_.end() ? 0 : it->second.value;
}

int32_t SimSubdevice::controlAt(uint32_t id, std::chrono::steady_clock::time_point when) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = controls_.find(id);
    if (it == controls_.end())
        return 0;
    for (auto w = history_.rbegin(); w != history_.rend(); ++w)
        if (w->id == id && w->at <= when)
            return w->value;
    return it->second.initial;
}

std::vector<std::pair<uint32_t, int32_t>> SimSubdevice::controlWrites() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return controlWrites_;
}

SimSubdevice::Format SimSubdevice::activeFormat(uint16_t pad) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pad < active_.size() ? active_[pad] : Format{};
}

int SimSubdevice::open(SimOpenFile& file)
{
    // Each open starts with try formats equal to the driver's defaults.
    auto state = std::make_unique<TryFormats>();
    state->formats.assign(pads_, initial_);
    file.state = std::move(state);
    return 0;
}

int SimSubdevice::ioctl(SimOpenFile& file, unsigned long request, void* arg)
{
    if (!arg)
        return -EFAULT;
    std::lock_guard<std::mutex> lock(mutex_);
    switch (request) {
    case VIDIOC_SUBDEV_G_FMT:
        return getFormat(file, arg);
    case VIDIOC_SUBDEV_S_FMT:
        return setFormat(file, arg);
    case VIDIOC_G_CTRL:
        return getControl(arg);
    case VIDIOC_S_CTRL:
        return setControl(arg);
    default:
        return -ENOTTY;
    }
}

int SimSubdevice::getFormat(SimOpenFile& file, void* arg)
{
    auto* f = static_cast<v4l2_subdev_format*>(arg);
    if (f->pad >= pads_ || (f->which != V4L2_SUBDEV_FORMAT_TRY && f->which != V4L2_SUBDEV_FORMAT_ACTIVE))
        return -EINVAL;
    const Format& src = f->which == V4L2_SUBDEV_FORMAT_TRY
                            ? static_cast<TryFormats&>(*file.state).formats[f->pad]
                            : active_[f->pad];
    std::memset(&f->format, 0, sizeof f->format);
    f->format.width = src.width;
    f->format.height = src.height;
    f->format.code = src.code;
    f->format.field = src.field;
    return 0;
}

int SimSubdevice::setFormat(SimOpenFile& file, void* arg)
{
    auto* f = static_cast<v4l2_subdev_format*>(arg);
    if (f->pad >= pads_ || (f->which != V4L2_SUBDEV_FORMAT_TRY && f->which != V4L2_SUBDEV_FORMAT_ACTIVE))
        return -EINVAL;
    Format adjusted{f->format.width, f->format.height, f->format.code, V4L2_FIELD_NONE};
    if (std::find(codes_.begin(), codes_.end(), adjusted.code) == codes_.end())
        adjusted.code = initial_.code;
    if (fixedSize_ || adjusted.width == 0 || adjusted.height == 0) {
        adjusted.width = initial_.width;
        adjusted.height = initial_.height;
    }
    if (f->which == V4L2_SUBDEV_FORMAT_TRY)
        static_cast<TryFormats&>(*file.state).formats[f->pad] = adjusted;
    else
        active_[f->pad] = adjusted;
    f->format.width = adjusted.width;
    f->format.height = adjusted.height;
    f->format.code = adjusted.code;
    f->format.field = adjusted.field;
    return 0;
}

int SimSubdevice::getControl(void* arg)
{
    auto* c = static_cast<v4l2_control*>(arg);
    auto it = controls_.find(c->id);
    if (it == controls_.end())
        return -EINVAL;
    c->value = it->second.value;
    return 0;
}

int SimSubdevice::setControl(void* arg)
{
    auto* c = static_cast<v4l2_control*>(arg);
    auto it = controls_.find(c->id);
    if (it == controls_.end())
        return -EINVAL;
    Control& ctl = it->second;
    const int64_t clamped = std::clamp<int64_t>(c->value, ctl.minimum, ctl.maximum);
    const int64_t steps = (clamped - ctl.minimum + ctl.step / 2) / ctl.step;
    ctl.value = static_cast<int32_t>(std::min<int64_t>(ctl.minimum + steps * ctl.step, ctl.maximum));
    c->value = ctl.value;
    controlWrites_.emplace_back(c->id, ctl.value);
    history_.push_back({c->id, ctl.value, std::chrono::steady_clock::now()});
    return 0;
}

} // namespace Quorvex::Sim
