#pragma once

#include <cstdint>

namespace Quorvex {
class QuorvexFrameBuffer;
class QuorvexTOFCamera;
}

// Frames lent to Python. A frame object is only a view of a buffer that its
// camera reuses after releaseFrame and frees at the next start or at its
// destruction, so every data call checks that the buffer is still lent.
// The table lives in a library of its own so that every extension module
// that lends or reads frames (QuorvexDepthCamera and the package's private
// one) sees the same loans. All calls run with the GIL held, which
// serialises access to the table.
namespace FrameLoans {
// `generation` is the camera's stream generation read before the request
// that returned the frame: the loan ends when a start replaces the queue.
void lend(const Quorvex::QuorvexFrameBuffer* frame, const Quorvex::QuorvexTOFCamera* camera,
          std::uint64_t generation);
bool isLent(const Quorvex::QuorvexFrameBuffer* frame);
void end(const Quorvex::QuorvexFrameBuffer* frame);
// Ends every loan of a camera (a new start rebuilt its frames, or it is gone).
void endAll(const Quorvex::QuorvexTOFCamera* camera);
} // namespace FrameLoans
