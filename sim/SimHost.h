#pragma once

#include <memory>
#include <string>

#include "sim/SimDeviceNode.h"
#include "sim/SimI2cAdapter.h"
#include "sim/SimKernel.h"
#include "sim/SimMediaDevice.h"
#include "sim/SimSubdevice.h"

namespace Quorvex::Sim {

// Lays out a host board in a SimKernel the way Linux publishes it: the
// device-tree model, device nodes under /dev with their sysfs directories
// and /sys/dev/char links, /proc/mounts and the i2c-dev class.
class SimHost {
public:
    // Character-device majors as Linux assigns them (media's is dynamic).
    static constexpr unsigned v4lMajor = 81;
    static constexpr unsigned i2cMajor = 89;
    static constexpr unsigned mediaMajor = 238;

    // Where an adapter's name file lives, relative to /sys/class/i2c-dev/i2c-N:
    // "name" (current kernels), "device/name", or "device/i2c-N/name" (the
    // class device's parent being the controller, not the adapter).
    enum class NameFile { Class, Device, DeviceChild };

    explicit SimHost(SimKernel& k);

    SimKernel& kernel() { return kernel_; }

    // "/sys/firmware/devicetree/base/model", NUL-terminated like the firmware's.
    void setModel(const std::string& model);
    // /proc/mounts naming sysfs at `sysfsRoot` after a few other mounts.
    void mountSysfs(const std::string& sysfsRoot = "/sys");

    // /dev/video<index> below the sysfs device directory `parent` (such as
    // /sys/devices/platform/rp1-cfe), with the V4L `name` attribute and the
    // `device` link back to `parent`. A null node answers no request.
    void addCaptureNode(int index, const std::string& parent, const std::string& name,
                        std::shared_ptr<SimDeviceNode> node = nullptr);
    // /dev/media<index>, listed in `parent` as "media<index>".
    void addMediaNode(int index, const std::string& parent, std::shared_ptr<SimMediaDevice> media);
    // /dev/v4l-subdev<index>; returns its device number's minor, which the
    // media entity must carry.
    unsigned addSubdevNode(int index, const std::string& parent, std::shared_ptr<SimSubdevice> subdev);
    // /dev/i2c-<bus> with its i2c-dev class entry below controller `parent`.
    void addI2cAdapter(int bus, const std::string& name, std::shared_ptr<SimI2cAdapter> adapter,
                       NameFile where = NameFile::Class,
                       const std::string& parent = "/sys/devices/platform/i2c");

    unsigned minorOf(const std::string& devPath) const;

private:
    SimKernel& kernel_;
    unsigned nextV4lMinor_ = 0;
};

} // namespace Quorvex::Sim
