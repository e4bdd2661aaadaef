#include "FrameQueue.h"

#include <algorithm>
#include <chrono>

namespace Quorvex {

void FramePool::adopt(std::unique_ptr<LinkNode> node)
{
    node->next = freeHead;
    freeHead = node.get();
    nodes.push_back(std::move(node));
}

LinkNode* FramePool::takeFree()
{
    std::lock_guard<std::mutex> lock(mutex);
    LinkNode* node = freeHead;
    if (node) {
        freeHead = node->next;
        node->next = nullptr;
    }
    return node;
}

LinkNode* FramePool::takeReady(bool lend)
{
    std::lock_guard<std::mutex> lock(mutex);
    LinkNode* node = readyHead;
    if (node) {
        readyHead = node->next;
        if (!readyHead)
            readyTail = nullptr;
        node->next = nullptr;
        node->lent = lend;
    }
    return node;
}

void FramePool::pushReady(LinkNode* node)
{
    std::lock_guard<std::mutex> lock(mutex);
    node->next = nullptr;
    if (readyTail)
        readyTail->next = node;
    else
        readyHead = node;
    readyTail = node;
}

int FramePool::release(LinkNode*& node)
{
    std::lock_guard<std::mutex> lock(mutex);
    bool known = false;
    for (const auto& n : nodes)
        known = known || n.get() == node;
    // A node that is not lent is on a list or being filled by the capture
    // thread; linking it into the free list would put it in two places.
    if (!known || !node->lent)
        return -1;
    node->lent = false;
    node->next = freeHead;
    freeHead = node;
    node = nullptr;
    return 0;
}

void FramePool::giveBack(LinkNode* node)
{
    std::lock_guard<std::mutex> lock(mutex);
    node->next = freeHead;
    freeHead = node;
}

LinkNode* FramePool::find(const QuorvexFrameBuffer* frame) const
{
    if (!frame)
        return nullptr;
    for (const auto& node : nodes)
        if (node->frame.get() == frame)
            return node.get();
    return nullptr;
}

size_t FramePool::freeLength()
{
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (LinkNode* node = freeHead; node; node = node->next)
        ++n;
    return n;
}

size_t FramePool::readyLength()
{
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (LinkNode* node = readyHead; node; node = node->next)
        ++n;
    return n;
}

bool FramePool::listsConsistent()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<const LinkNode*> seen;
    auto walk = [&](const LinkNode* head, const LinkNode** last) {
        for (const LinkNode* n = head; n; n = n->next) {
            // Also ends a cycle: no list can be longer than the pool.
            if (seen.size() >= nodes.size() || std::find(seen.begin(), seen.end(), n) != seen.end())
                return false;
            seen.push_back(n);
            if (last)
                *last = n;
        }
        return true;
    };
    const LinkNode* tail = nullptr;
    return walk(freeHead, nullptr) && walk(readyHead, &tail) && tail == readyTail;
}

FrameQueue::FrameQueue(const CameraInfo& info, const FrameGeometry& geom)
    : geometry(geom), pool(std::make_unique<FramePool>()),
      scratch(std::make_unique<CacheData>(info.width, info.height))
{
    if (info.type != FrameType::RAW && info.type != FrameType::DEPTH)
        return;
    const uint32_t w = static_cast<uint32_t>(geom.width);
    const uint32_t h = static_cast<uint32_t>(geom.height);
    for (uint8_t i = 0; i < capacity; ++i) {
        auto node = std::make_unique<LinkNode>();
        if (info.type == FrameType::RAW)
            node->frame = std::make_unique<RawData>(FrameDataFormat{w, h, FrameType::RAW, 0});
        else
            node->frame = std::make_unique<DepthData>(FrameDataFormat{w, h, FrameType::DEPTH, 0},
                                                      FrameDataFormat{w, h, FrameType::CONFIDENCE, 0});
        pool->adopt(std::move(node));
    }
}

FrameQueue::~FrameQueue() = default;

void FrameQueue::postReady()
{
    std::lock_guard<std::mutex> lock(readyMutex);
    if (readyCount <= readyLimit) {
        ++readyCount;
        readyCond.notify_all();
    }
}

bool FrameQueue::waitReady(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(readyMutex);
    // Checked before the count: the frames of a queue that was shut down
    // die with it, however many are ready.
    if (closed)
        return false;
    if (readyCount > 0) {
        --readyCount;
        return true;
    }
    if (ended)
        return false;
    ++waiters;
    auto woken = [this] { return readyCount > 0 || closed || ended; };
    if (timeoutMs < 0) {
        readyCond.wait(lock, woken);
    } else {
        // steady_clock: a wall-clock step on a board without an RTC must
        // neither cut the wait short nor stretch it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        readyCond.wait_until(lock, deadline, woken);
    }
    --waiters;
    const bool got = readyCount > 0 && !closed;
    if (got)
        --readyCount;
    if (closed && waiters == 0)
        drained.notify_all();
    return got;
}

void FrameQueue::endStream()
{
    std::lock_guard<std::mutex> lock(readyMutex);
    ended = true;
    readyCond.notify_all();
}

void FrameQueue::shutdown()
{
    std::unique_lock<std::mutex> lock(readyMutex);
    closed = true;
    readyCond.notify_all();
    drained.wait(lock, [this] { return waiters == 0; });
}

bool FrameQueue::isShutDown()
{
    std::lock_guard<std::mutex> lock(readyMutex);
    return closed;
}

int FrameQueue::getReadyCount()
{
    std::lock_guard<std::mutex> lock(readyMutex);
    return readyCount;
}

} // namespace Quorvex
