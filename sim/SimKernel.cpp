#include "SimKernel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>

namespace Quorvex::Sim {

namespace {

constexpr int firstDescriptor = 1000; // far from the process's own descriptors
constexpr int maxLinkHops = 40;

std::deque<std::string> splitPath(const std::string& path)
{
    std::deque<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string joinPath(const std::deque<std::string>& parts)
{
    std::string out;
    for (const auto& p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

int fail(int error)
{
    errno = error;
    return -1;
}

} // namespace

struct SimKernel::Inode {
    enum class Type { Directory, File, Symlink, CharDevice };
    Type type = Type::Directory;
    std::string path;
    unsigned long ino = 0;
    std::weak_ptr<Inode> parent;
    // Directory
    std::map<std::string, std::shared_ptr<Inode>> children;
    std::vector<std::string> order;
    // File
    std::string contents;
    // Symlink
    std::string target;
    // Device
    unsigned major = 0;
    unsigned minor = 0;
    std::shared_ptr<SimDeviceNode> device;
    // Faults
    int openError = 0;
    int readError = 0;
};

struct SimKernel::Descriptor {
    std::shared_ptr<Inode> inode;
    std::shared_ptr<SimOpenFile> file;
    size_t offset = 0;
};

SimKernel::SimKernel() : root_(std::make_shared<Inode>())
{
    root_->path = "/";
    root_->ino = nextInode_++;
}

SimKernel::~SimKernel()
{
    // Release what callers left open so nodes see a balanced open/release.
    for (auto& [fd, d] : descriptors_)
        if (d->inode->device)
            d->inode->device->release(*d->file);
}

// --- Tree ----------------------------------------------------------------

std::shared_ptr<SimKernel::Inode> SimKernel::resolveLocked(const std::string& path, bool followLast,
                                                           int& error) const
{
    std::deque<std::string> rest = splitPath(path);
    std::shared_ptr<Inode> cur = root_;
    int hops = 0;
    while (!rest.empty()) {
        const std::string name = rest.front();
        rest.pop_front();
        if (name == ".")
            continue;
        if (cur->type != Inode::Type::Directory) {
            error = ENOTDIR;
            return nullptr;
        }
        if (name == "..") {
            if (auto parent = cur->parent.lock())
                cur = parent;
            continue;
        }
        auto it = cur->children.find(name);
        if (it == cur->children.end()) {
            error = ENOENT;
            return nullptr;
        }
        const std::shared_ptr<Inode>& child = it->second;
        if (child->type == Inode::Type::Symlink && (!rest.empty() || followLast)) {
            if (++hops > maxLinkHops) {
                error = ELOOP;
                return nullptr;
            }
            std::deque<std::string> target = splitPath(child->target);
            rest.insert(rest.begin(), target.begin(), target.end());
            if (!child->target.empty() && child->target[0] == '/')
                cur = root_;
            continue;
        }
        cur = child;
    }
    if (!rest.empty() && cur->type != Inode::Type::Directory) {
        error = ENOTDIR;
        return nullptr;
    }
    return cur;
}

std::shared_ptr<SimKernel::Inode> SimKernel::makeParentsLocked(const std::string& path, std::string& leaf)
{
    std::deque<std::string> parts = splitPath(path);
    if (parts.empty())
        return nullptr;
    leaf = parts.back();
    parts.pop_back();
    std::shared_ptr<Inode> cur = root_;
    std::deque<std::string> walked;
    for (const auto& name : parts) {
        walked.push_back(name);
        auto it = cur->children.find(name);
        if (it == cur->children.end()) {
            auto dir = std::make_shared<Inode>();
            dir->path = joinPath(walked);
            dir->ino = nextInode_++;
            dir->parent = cur;
            cur->children[name] = dir;
            cur->order.push_back(name);
            cur = dir;
        } else if (it->second->type == Inode::Type::Directory) {
            cur = it->second;
        } else {
            int error = 0;
            auto target = resolveLocked(joinPath(walked), true, error);
            if (!target || target->type != Inode::Type::Directory)
                return nullptr;
            cur = target;
        }
    }
    return cur;
}

void SimKernel::insertLocked(const std::string& path, std::shared_ptr<Inode> inode)
{
    std::string leaf;
    std::shared_ptr<Inode> parent = makeParentsLocked(path, leaf);
    if (!parent)
        return;
    inode->path = joinPath(splitPath(path));
    inode->ino = nextInode_++;
    inode->parent = parent;
    auto it = parent->children.find(leaf);
    if (it == parent->children.end())
        parent->order.push_back(leaf);
    parent->children[leaf] = std::move(inode);
}

void SimKernel::addFile(const std::string& path, const std::string& contents)
{
    auto inode = std::make_shared<Inode>();
    inode->type = Inode::Type::File;
    inode->contents = contents;
    std::lock_guard<std::mutex> lock(mutex_);
    insertLocked(path, std::move(inode));
}

void SimKernel::addDirectory(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int error = 0;
    auto existing = resolveLocked(path, true, error);
    if (existing && existing->type == Inode::Type::Directory)
        return;
    insertLocked(path, std::make_shared<Inode>());
}

void SimKernel::addSymlink(const std::string& path, const std::string& target)
{
    auto inode = std::make_shared<Inode>();
    inode->type = Inode::Type::Symlink;
    inode->target = target;
    std::lock_guard<std::mutex> lock(mutex_);
    insertLocked(path, std::move(inode));
}

void SimKernel::addCharDevice(const std::string& path, unsigned major, unsigned minor,
                              std::shared_ptr<SimDeviceNode> node)
{
    auto inode = std::make_shared<Inode>();
    inode->type = Inode::Type::CharDevice;
    inode->major = major;
    inode->minor = minor;
    inode->device = node ? std::move(node) : std::make_shared<SimDeviceNode>();
    std::lock_guard<std::mutex> lock(mutex_);
    insertLocked(path, std::move(inode));
}

void SimKernel::addDevice(const std::string& devPath, unsigned major, unsigned minor,
                          std::shared_ptr<SimDeviceNode> node, const std::string& sysfsPath)
{
    addCharDevice(devPath, major, minor, std::move(node));
    addDirectory(sysfsPath);
    const std::string number = std::to_string(major) + ":" + std::to_string(minor);
    addFile(sysfsPath + "/dev", number + "\n");
    // The kernel's links are relative: /sys/dev/char/M:N -> ../../devices/...
    const std::string underSys = sysfsPath.compare(0, 5, "/sys/") == 0 ? sysfsPath.substr(5) : sysfsPath;
    addSymlink("/sys/dev/char/" + number, "../../" + underSys);
}

void SimKernel::remove(const std::string& path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int error = 0;
    auto inode = resolveLocked(path, false, error);
    if (!inode || inode == root_)
        return;
    auto parent = inode->parent.lock();
    if (!parent)
        return;
    for (auto it = parent->children.begin(); it != parent->children.end(); ++it)
        if (it->second == inode) {
            parent->order.erase(std::find(parent->order.begin(), parent->order.end(), it->first));
            parent->children.erase(it);
            break;
        }
}

void SimKernel::setListingOrder(const std::string& dir, const std::vector<std::string>& names)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int error = 0;
    auto inode = resolveLocked(dir, true, error);
    if (!inode || inode->type != Inode::Type::Directory)
        return;
    std::vector<std::string> order;
    for (const auto& n : names)
        if (inode->children.count(n))
            order.push_back(n);
    for (const auto& n : inode->order)
        if (std::find(order.begin(), order.end(), n) == order.end())
            order.push_back(n);
    inode->order = std::move(order);
}

// --- Faults and observation ----------------------------------------------

void SimKernel::failOpen(const std::string& path, int error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int e = 0;
    if (auto inode = resolveLocked(path, true, e))
        inode->openError = error;
}

void SimKernel::failRead(const std::string& path, int error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int e = 0;
    if (auto inode = resolveLocked(path, true, e))
        inode->readError = error;
}

void SimKernel::failIoctl(const std::string& path, unsigned long request, int error, int times)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int e = 0;
    auto inode = resolveLocked(path, true, e);
    ioctlFaults_.push_back({inode ? inode->path : path, request, error, times});
}

void SimKernel::clearFaults()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ioctlFaults_.clear();
    std::deque<std::shared_ptr<Inode>> todo{root_};
    while (!todo.empty()) {
        auto inode = todo.front();
        todo.pop_front();
        inode->openError = inode->readError = 0;
        for (auto& [name, child] : inode->children)
            todo.push_back(child);
    }
}

std::vector<SimKernel::IoctlRecord> SimKernel::ioctlLog() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ioctlLog_;
}

size_t SimKernel::ioctlCount(const std::string& path, unsigned long request) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(ioctlLog_.begin(), ioctlLog_.end(),
                         [&](const IoctlRecord& r) { return r.path == path && r.request == request; });
}

size_t SimKernel::openDescriptors() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return descriptors_.size();
}

size_t SimKernel::openDescriptors(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(descriptors_.begin(), descriptors_.end(),
                         [&](const auto& d) { return d.second->inode->path == path; });
}

std::string SimKernel::pathOf(int fd) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = descriptors_.find(fd);
    return it == descriptors_.end() ? std::string() : it->second->inode->path;
}

// --- System calls --------------------------------------------------------

int SimKernel::open(const char* path, int flags)
{
    if (!path)
        return fail(EFAULT);
    auto d = std::make_shared<Descriptor>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int error = 0;
        d->inode = resolveLocked(path, true, error);
        if (!d->inode)
            return fail(error);
        if (d->inode->openError)
            return fail(d->inode->openError);
        if (d->inode->type == Inode::Type::Directory && (flags & O_ACCMODE) != O_RDONLY)
            return fail(EISDIR);
    }
    d->file = std::make_shared<SimOpenFile>();
    d->file->path = d->inode->path;
    d->file->flags = flags;
    if (d->inode->device) {
        const int error = d->inode->device->open(*d->file);
        if (error)
            return fail(error);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    int fd = firstDescriptor;
    while (descriptors_.count(fd))
        ++fd;
    descriptors_[fd] = std::move(d);
    return fd;
}

int SimKernel::close(int fd)
{
    std::shared_ptr<Descriptor> d;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = descriptors_.find(fd);
        if (it == descriptors_.end())
            return fail(EBADF);
        d = std::move(it->second);
        descriptors_.erase(it);
    }
    if (d->inode->device)
        d->inode->device->release(*d->file);
    return 0;
}

int SimKernel::ioctl(int fd, unsigned long request, void* arg)
{
    std::shared_ptr<Descriptor> d;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = descriptors_.find(fd);
        if (it == descriptors_.end())
            return fail(EBADF);
        d = it->second;
        for (auto& f : ioctlFaults_) {
            if (f.remaining == 0 || f.request != request || f.path != d->inode->path)
                continue;
            if (f.remaining > 0)
                --f.remaining;
            ioctlLog_.push_back({d->inode->path, request, f.error});
            return fail(f.error);
        }
        if (!d->inode->device) {
            ioctlLog_.push_back({d->inode->path, request, ENOTTY});
            return fail(ENOTTY);
        }
    }
    const int result = d->inode->device->ioctl(*d->file, request, arg);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ioctlLog_.push_back({d->inode->path, request, result < 0 ? -result : 0});
    }
    return result < 0 ? fail(-result) : result;
}

ssize_t SimKernel::read(int fd, void* buffer, size_t size)
{
    std::shared_ptr<Descriptor> d;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = descriptors_.find(fd);
        if (it == descriptors_.end())
            return fail(EBADF);
        d = it->second;
        if (d->inode->type == Inode::Type::Directory)
            return fail(EISDIR);
        if (d->inode->type == Inode::Type::File) {
            if (d->inode->readError)
                return fail(d->inode->readError);
            const std::string& c = d->inode->contents;
            const size_t n = d->offset < c.size() ? std::min(size, c.size() - d->offset) : 0;
            if (n)
                std::memcpy(buffer, c.data() + d->offset, n);
            d->offset += n;
            return static_cast<ssize_t>(n);
        }
    }
    const ssize_t result = d->inode->device->read(*d->file, buffer, size);
    return result < 0 ? fail(static_cast<int>(-result)) : result;
}

int SimKernel::poll(struct pollfd* fds, nfds_t count, int timeoutMs)
{
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].revents = 0;
        if (fds[i].fd < 0)
            continue;
        std::shared_ptr<Descriptor> d;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = descriptors_.find(fds[i].fd);
            if (it != descriptors_.end())
                d = it->second;
        }
        if (!d)
            fds[i].revents = POLLNVAL;
        else if (d->inode->device)
            // Only the first node gets to wait: once something is ready the
            // rest are merely sampled, as the kernel would report them.
            fds[i].revents = d->inode->device->poll(*d->file, fds[i].events, ready ? 0 : timeoutMs);
        else
            fds[i].revents = fds[i].events & (POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM);
        if (fds[i].revents)
            ++ready;
    }
    return ready;
}

void* SimKernel::mmap(void* /*addr*/, size_t length, int prot, int flags, int fd, off_t offset)
{
    std::shared_ptr<Descriptor> d;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = descriptors_.find(fd);
        if (it == descriptors_.end()) {
            errno = EBADF;
            return MAP_FAILED;
        }
        d = it->second;
    }
    if (!d->inode->device) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    int error = 0;
    void* p = d->inode->device->mmap(*d->file, length, prot, flags, offset, error);
    if (!p) {
        errno = error ? error : ENOMEM;
        return MAP_FAILED;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    mappings_[p] = d->inode->device;
    return p;
}

int SimKernel::munmap(void* addr, size_t length)
{
    std::shared_ptr<SimDeviceNode> node;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = mappings_.find(addr);
        if (it == mappings_.end())
            return fail(EINVAL);
        node = it->second;
        mappings_.erase(it);
    }
    const int result = node->munmap(addr, length);
    return result < 0 ? fail(-result) : 0;
}

void SimKernel::fillStat(const Inode& inode, struct stat* st) const
{
    std::memset(st, 0, sizeof *st);
    st->st_ino = inode.ino;
    st->st_nlink = 1;
    st->st_blksize = 4096;
    switch (inode.type) {
    case Inode::Type::Directory:
        st->st_mode = S_IFDIR | 0755;
        break;
    case Inode::Type::File:
        st->st_mode = S_IFREG | 0444;
        st->st_size = static_cast<off_t>(inode.contents.size());
        break;
    case Inode::Type::Symlink:
        st->st_mode = S_IFLNK | 0777;
        st->st_size = static_cast<off_t>(inode.target.size());
        break;
    case Inode::Type::CharDevice:
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(inode.major, inode.minor);
        break;
    }
}

int SimKernel::stat(const char* path, struct stat* st)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int error = 0;
    auto inode = resolveLocked(path, true, error);
    if (!inode)
        return fail(error);
    fillStat(*inode, st);
    return 0;
}

int SimKernel::fstat(int fd, struct stat* st)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = descriptors_.find(fd);
    if (it == descriptors_.end())
        return fail(EBADF);
    fillStat(*it->second->inode, st);
    return 0;
}

ssize_t SimKernel::readlink(const char* path, char* buffer, size_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int error = 0;
    auto inode = resolveLocked(path, false, error);
    if (!inode)
        return fail(error);
    if (inode->type != Inode::Type::Symlink)
        return fail(EINVAL);
    // Like the kernel: truncated silently, never NUL-terminated.
    const size_t n = std::min(size, inode->target.size());
    std::memcpy(buffer, inode->target.data(), n);
    return static_cast<ssize_t>(n);
}

int SimKernel::listDirectory(const char* path, std::vector<std::string>& names)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int error = 0;
    auto inode = resolveLocked(path, true, error);
    if (!inode)
        return fail(error);
    if (inode->type != Inode::Type::Directory)
        return fail(ENOTDIR);
    if (inode->openError)
        return fail(inode->openError);
    names.assign({".", ".."});
    names.insert(names.end(), inode->order.begin(), inode->order.end());
    return 0;
}

} // namespace Quorvex::Sim
