#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sensor/KernelAccess.h"
#include "sim/SimDeviceNode.h"

namespace Quorvex::Sim {

// A small model of the kernel's file interfaces: a tree of directories,
// regular files, symbolic links and character device nodes, a descriptor
// table, and faults to inject. Paths resolve like the kernel resolves them
// (symbolic links in every component, "." and "..", ELOOP after 40 links).
// Directories list their entries in creation order unless told otherwise,
// "." and ".." first, so callers cannot rely on sorted listings.
// Thread-safe: the table is guarded by one mutex, which is never held while
// a device node's hook runs.
class SimKernel final : public KernelAccess {
public:
    SimKernel();
    ~SimKernel() override;
    SimKernel(const SimKernel&) = delete;
    SimKernel& operator=(const SimKernel&) = delete;

    // --- Building the tree (missing parent directories are created) ---
    void addFile(const std::string& path, const std::string& contents);
    void addDirectory(const std::string& path);
    void addSymlink(const std::string& path, const std::string& target);
    void addCharDevice(const std::string& path, unsigned major, unsigned minor,
                       std::shared_ptr<SimDeviceNode> node);
    // A device as the kernel publishes it: the node under /dev, its sysfs
    // directory `sysfsPath` (under /sys/devices) with a "dev" file, and the
    // link /sys/dev/char/M:N pointing there.
    void addDevice(const std::string& devPath, unsigned major, unsigned minor,
                   std::shared_ptr<SimDeviceNode> node, const std::string& sysfsPath);
    void remove(const std::string& path);
    // Lists `dir` in exactly this order from now on (names must exist).
    void setListingOrder(const std::string& dir, const std::vector<std::string>& names);

    // --- Faults ---
    // Every open of `path` fails with `error` (EACCES for a permission fault).
    void failOpen(const std::string& path, int error);
    // Every read of the regular file `path` fails with `error`.
    void failRead(const std::string& path, int error);
    // The next `times` ioctls `request` on `path` fail with `error`
    // (times < 0: all of them); later ones reach the node.
    void failIoctl(const std::string& path, unsigned long request, int error, int times = -1);
    void clearFaults();

    // --- Observation ---
    struct IoctlRecord {
        std::string path;
        unsigned long request;
        int error; // 0 on success
    };
    std::vector<IoctlRecord> ioctlLog() const;
    size_t ioctlCount(const std::string& path, unsigned long request) const;
    // Descriptors currently open, in total or on one path.
    size_t openDescriptors() const;
    size_t openDescriptors(const std::string& path) const;
    // Canonical path of an open descriptor ("" if none).
    std::string pathOf(int fd) const;

    // --- KernelAccess ---
    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    ssize_t read(int fd, void* buffer, size_t size) override;
    int poll(struct pollfd* fds, nfds_t count, int timeoutMs) override;
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* addr, size_t length) override;
    int stat(const char* path, struct stat* st) override;
    int fstat(int fd, struct stat* st) override;
    ssize_t readlink(const char* path, char* buffer, size_t size) override;
    int listDirectory(const char* path, std::vector<std::string>& names) override;

private:
    struct Inode;
    struct Descriptor;
    struct Fault {
        std::string path;
        unsigned long request;
        int error;
        int remaining;
    };

    std::shared_ptr<Inode> resolveLocked(const std::string& path, bool followLast, int& error) const;
    std::shared_ptr<Inode> makeParentsLocked(const std::string& path, std::string& leaf);
    void insertLocked(const std::string& path, std::shared_ptr<Inode> inode);
    void fillStat(const Inode& inode, struct stat* st) const;

    mutable std::mutex mutex_;
    std::shared_ptr<Inode> root_;
    std::map<int, std::shared_ptr<Descriptor>> descriptors_;
    std::map<void*, std::shared_ptr<SimDeviceNode>> mappings_;
    std::vector<Fault> ioctlFaults_;
    std::vector<IoctlRecord> ioctlLog_;
    unsigned long nextInode_ = 1;
};

using ScopedKernel = Quorvex::ScopedKernel;

} // namespace Quorvex::Sim
