#include "SimHost.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace Quorvex::Sim {

namespace {

// "/sys/devices/x" seen from "/sys/a/b" is "../../devices/x".
std::string fromSysDepth(const std::string& sysfsPath, int depth)
{
    std::string up;
    for (int i = 0; i < depth; ++i)
        up += "../";
    return up + sysfsPath.substr(5);
}

} // namespace

SimHost::SimHost(SimKernel& k) : kernel_(k) {}

void SimHost::setModel(const std::string& model)
{
    kernel_.addFile("/sys/firmware/devicetree/base/model", model + std::string(1, '\0'));
}

void SimHost::mountSysfs(const std::string& sysfsRoot)
{
    kernel_.addFile("/proc/mounts", "/dev/root / ext4 rw,noatime 0 0\n"
                                    "devtmpfs /dev devtmpfs rw,relatime,size=1800000k,mode=755 0 0\n"
                                    "proc /proc proc rw,relatime 0 0\n"
                                    "sysfs " +
                                        sysfsRoot +
                                        " sysfs rw,nosuid,nodev,noexec,relatime 0 0\n"
                                        "tmpfs /run tmpfs rw,nosuid,nodev,mode=755 0 0\n");
}

void SimHost::addCaptureNode(int index, const std::string& parent, const std::string& name,
                             std::shared_ptr<SimDeviceNode> node)
{
    const std::string nodeName = "video" + std::to_string(index);
    const std::string dir = parent + "/video4linux/" + nodeName;
    kernel_.addDevice("/dev/" + nodeName, v4lMajor, nextV4lMinor_++,
                      node ? std::move(node) : std::make_shared<SimDeviceNode>(), dir);
    kernel_.addFile(dir + "/name", name + "\n");
    kernel_.addSymlink(dir + "/device", "../..");
}

void SimHost::addMediaNode(int index, const std::string& parent, std::shared_ptr<SimMediaDevice> media)
{
    const std::string nodeName = "media" + std::to_string(index);
    kernel_.addDevice("/dev/" + nodeName, mediaMajor, static_cast<unsigned>(index), std::move(media),
                      parent + "/" + nodeName);
}

unsigned SimHost::addSubdevNode(int index, const std::string& parent, std::shared_ptr<SimSubdevice> subdev)
{
    const std::string nodeName = "v4l-subdev" + std::to_string(index);
    const unsigned minor = nextV4lMinor_++;
    kernel_.addDevice("/dev/" + nodeName, v4lMajor, minor, std::move(subdev),
                      parent + "/video4linux/" + nodeName);
    return minor;
}

void SimHost::addI2cAdapter(int bus, const std::string& name, std::shared_ptr<SimI2cAdapter> adapter,
                            NameFile where, const std::string& parent)
{
    const std::string nodeName = "i2c-" + std::to_string(bus);
    const std::string adapterDir = parent + "/" + nodeName;
    const std::string classDir = adapterDir + "/i2c-dev/" + nodeName;
    kernel_.addDevice("/dev/" + nodeName, i2cMajor, static_cast<unsigned>(bus), std::move(adapter), classDir);
    kernel_.addSymlink("/sys/class/i2c-dev/" + nodeName, fromSysDepth(classDir, 2));
    switch (where) {
    case NameFile::Class:
        kernel_.addFile(classDir + "/name", name + "\n");
        kernel_.addSymlink(classDir + "/device", "../../../" + nodeName);
        break;
    case NameFile::Device:
        kernel_.addFile(adapterDir + "/name", name + "\n");
        kernel_.addSymlink(classDir + "/device", "../../../" + nodeName);
        break;
    case NameFile::DeviceChild:
        kernel_.addFile(adapterDir + "/name", name + "\n");
        kernel_.addSymlink(classDir + "/device", "../../..");
        break;
    }
}

unsigned SimHost::minorOf(const std::string& devPath) const
{
    struct stat st;
    return kernel_.stat(devPath.c_str(), &st) == 0 ? ::minor(st.st_rdev) : 0;
}

} // namespace Quorvex::Sim
