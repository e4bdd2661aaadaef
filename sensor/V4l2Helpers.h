#pragma once

namespace Quorvex {

// Issues a V4L2 or media request up to 5 times in all, repeating it while it
// fails with EAGAIN, EINTR or ETIMEDOUT. Returns the last result; errno is
// that of the last attempt.
int ioctlRetry(int fd, unsigned long request, void* arg);

// The same request issued exactly once, for requests that are not retried.
int ioctlOnce(int fd, unsigned long request, void* arg);

} // namespace Quorvex
