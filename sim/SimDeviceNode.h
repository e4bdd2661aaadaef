#pragma once

#include <cerrno>
#include <cstddef>
#include <memory>
#include <string>

#include <sys/types.h>

namespace Quorvex::Sim {

// Per-open state a device node attaches to a file description (a V4L2
// sub-device keeps its try formats there, an I2C adapter its client address).
struct SimFileState {
    virtual ~SimFileState() = default;
};

// One open file description of a device node.
struct SimOpenFile {
    std::string path; // canonical path of the node
    int flags = 0;
    std::unique_ptr<SimFileState> state;
};

// Behaviour behind one character device node. Hooks follow the kernel's own
// convention: a result >= 0, or -errno. They may be called from several
// threads at once (a capture thread and a control caller), so a node guards
// its own state.
class SimDeviceNode {
public:
    virtual ~SimDeviceNode() = default;

    // Called when a descriptor is opened; a non-zero errno refuses the open.
    virtual int open(SimOpenFile&) { return 0; }
    // Called when the last descriptor of the description is closed.
    virtual void release(SimOpenFile&) {}
    virtual int ioctl(SimOpenFile&, unsigned long /*request*/, void* /*arg*/) { return -ENOTTY; }
    virtual ssize_t read(SimOpenFile&, void*, size_t) { return -EINVAL; }
    // Ready events among `events`; may wait up to timeoutMs (negative: no
    // limit) for them. Returns the revents mask.
    virtual short poll(SimOpenFile&, short /*events*/, int /*timeoutMs*/) { return 0; }
    // Returns the mapping, or null with `error` set to an errno.
    virtual void* mmap(SimOpenFile&, size_t /*length*/, int /*prot*/, int /*flags*/, off_t /*offset*/,
                       int& error)
    {
        error = ENODEV;
        return nullptr;
    }
    // Undoes a mapping this node handed out; 0 or -errno.
    virtual int munmap(void* /*addr*/, size_t /*length*/) { return -EINVAL; }
};

} // namespace Quorvex::Sim
