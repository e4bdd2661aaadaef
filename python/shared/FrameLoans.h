#pragma once

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
void lend(const Quorvex::QuorvexFrameBuffer* frame, const Quorvex::QuorvexTOFCamera* camera);
bool isLent(const Quorvex::QuorvexFrameBuffer* frame);
void end(const Quorvex::QuorvexFrameBuffer* frame);
// Ends every loan of a camera (a new start rebuilt its frames, or it is gone).
void endAll(const Quorvex::QuorvexTOFCamera* camera);
} // namespace FrameLoans
