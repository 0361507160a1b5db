// Waiting for a socket to become readable, optionally together with a wake-up descriptor.
#pragma once

namespace Voro {

// Waits up to `timeout_ms` (a negative value counts as 0) for `fd` to be readable, or for
// `wake_fd` (ignored when negative) to be readable. True when `fd` is readable or has hung
// up or failed, so that a read returns without blocking; false on time-out, on a wake-up
// alone, on an invalid `fd` and on error. The wake descriptor is not read: its owner drains
// it. Uses poll, so descriptors of any number work. Any thread.
bool WaitSocketReadable(int fd, int timeout_ms, int wake_fd);

// Puts a send and a receive time-out of `timeout_ms` on a blocking socket, so that a call
// that must not hang (a closing handshake) gives up. Best effort: failures are ignored.
void SetSocketTimeouts(int fd, int timeout_ms);

}  // namespace Voro
