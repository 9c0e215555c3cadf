#pragma once

// What the harness's shared HTTP code asks of the system's sockets.

namespace enginetest::detail {

inline constexpr int ReadTimedOut = -2;

// Waits up to timeoutMs for the socket to become readable and reads what is
// there: the byte count, 0 when the peer has closed, -1 on an error,
// ReadTimedOut when nothing came in time.
int ReadSome(int fd, char* buffer, int size, int timeoutMs);

} // namespace enginetest::detail
