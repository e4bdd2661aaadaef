#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "CaptureClock.h"
#include "QuorvexFrameBuffer.h"
#include "TofTypes.h"

namespace Quorvex {

// One frame's place in the pool. A node is, at any moment, on the free list,
// on the ready list, in the capture thread's hands, or lent to a caller.
struct LinkNode {
    LinkNode* next = nullptr;
    std::unique_ptr<QuorvexFrameBuffer> frame;
    // Set while a caller holds the frame (between requestFrame and
    // releaseFrame); guarded by the pool mutex. Only a lent node may be
    // released by a caller.
    bool lent = false;
    // When the frame in it was captured; written by the capture thread
    // before the node is made ready.
    FrameTiming timing;

    LinkNode() = default;
    LinkNode(const LinkNode&) = delete;
    LinkNode& operator=(const LinkNode&) = delete;
};

// The node set of one stream: a LIFO free list and a FIFO ready list. The
// pool owns every node; the lists only link them.
class FramePool {
public:
    FramePool() = default;
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // Building only, before any other thread sees the pool: takes `node`
    // and puts it on the free list.
    void adopt(std::unique_ptr<LinkNode> node);

    LinkNode* takeFree();
    // Pops the oldest ready node; `lend` marks it as held by a caller.
    LinkNode* takeReady(bool lend = false);
    void pushReady(LinkNode* node);
    // A caller gives back a frame it obtained from the ready list. Refused
    // with -1 (nothing changes) for a node of another pool or one that is
    // not currently lent, so a double release cannot link a node twice.
    int release(LinkNode*& node);
    // The capture thread gives back the node it was filling.
    void giveBack(LinkNode* node);
    // First node, in creation order, whose frame is `frame`; null if none.
    LinkNode* find(const QuorvexFrameBuffer* frame) const;

    // Nodes in creation order.
    size_t size() const { return nodes.size(); }
    LinkNode* node(size_t i) const { return nodes[i].get(); }

    // Diagnostics for tests; each takes the pool mutex.
    size_t freeLength();
    size_t readyLength();
    // Whether every node is on at most one list, at most once, and the
    // ready list's tail is its last node.
    bool listsConsistent();

private:
    LinkNode* freeHead = nullptr;
    LinkNode* readyHead = nullptr;
    LinkNode* readyTail = nullptr;
    // Every node in creation order; never changes after the queue is
    // built, which is what lets find() walk it without a lock.
    std::vector<std::unique_ptr<LinkNode>> nodes;
    std::mutex mutex;
};

// Frame memory and hand-off of one stream. One producer (the capture
// thread), any number of consumers. The pool mutex and the ready mutex are
// never held together.
class FrameQueue {
public:
    // `info.type` selects the frame class (RAW or DEPTH; any other builds no
    // nodes), `info.width` x `info.height` sizes the scratch frame (height is
    // the row count of a whole capture), `geometry` sizes the node frames.
    // Throws std::bad_alloc after freeing whatever was built.
    FrameQueue(const CameraInfo& info, const FrameGeometry& geometry);
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;
    ~FrameQueue();

    LinkNode* takeFree() { return pool->takeFree(); }
    LinkNode* takeReady(bool lend = false) { return pool->takeReady(lend); }
    void pushReady(LinkNode* node) { pool->pushReady(node); }

    // Counts one more ready frame and wakes the waiters, unless the count is
    // already above the limit.
    void postReady();
    // Claims one ready frame: true with the count decremented, or false once
    // `timeoutMs` (>= 0) has passed on the monotonic clock. A negative
    // time-out waits without limit. Returns false at once after shutdown(),
    // even with frames ready, and once endStream() was called with none.
    bool waitReady(int timeoutMs);
    // The producer has stopped for good: waiters wake, and a wait with
    // nothing ready returns false at once. Frames already ready can still
    // be claimed.
    void endStream();
    // Wakes every waiter with a false result and waits until all have left
    // waitReady(); used before the queue is replaced under them.
    void shutdown();
    // Whether shutdown() was called: a node taken after it must not reach a
    // caller, since the queue is about to be freed.
    bool isShutDown();

    int getReadyCount();

    // Nodes of a stream, and the most frames counted ready at once.
    static constexpr uint8_t capacity = 3;
    static constexpr int readyLimit = 3;

    FrameGeometry geometry;
    const std::unique_ptr<FramePool> pool;
    const std::unique_ptr<CacheData> scratch;

private:
    std::mutex readyMutex;
    std::condition_variable readyCond;
    int readyCount = 0;
    int waiters = 0;
    bool closed = false;
    bool ended = false;
    std::condition_variable drained;
};

} // namespace Quorvex
