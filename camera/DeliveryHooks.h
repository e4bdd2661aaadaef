#pragma once

namespace Quorvex {
namespace delivery {

// Places inside requestFrame where a test can hold its caller, so that an
// interleaving with a concurrent start can be replayed step by step rather
// than hoped for. Not part of the programming interface.
enum class Point {
    // The caller has its copy of the current queue and has not waited yet.
    QueueTaken,
    // The wait claimed a ready frame; the node has not been taken yet.
    Claimed,
    // The frame is about to be returned to the caller.
    Returning,
};

using Hook = void (*)(Point);

// Installs `hook` for every camera in the process; null removes it. Costs
// requestFrame one atomic load per point when none is installed.
void setHook(Hook hook);

} // namespace delivery
} // namespace Quorvex
