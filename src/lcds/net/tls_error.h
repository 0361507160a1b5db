// What a failed OpenSSL call means: the SSL_get_error code and its text, and the thread's
// OpenSSL error queue as log lines.
#pragma once

#include <string>
#include <vector>

namespace Voro {

struct TlsErrorInfo {
  int code = 0;  // the SSL_get_error code
  std::string text;
};

// The text for an SSL_get_error `code` of a call that returned `call_result`, given the
// error queue's lines as taken after that call. SSL_ERROR_SSL, and SSL_ERROR_SYSCALL with a
// non-empty queue, are described by the queue's lines (joined by "\n"). Pure.
TlsErrorInfo DescribeTlsError(int code, int call_result, const std::vector<std::string>& queue);

// Empties this thread's OpenSSL error queue, oldest first, one line per entry (without the
// line break).
std::vector<std::string> TakeTlsErrorQueue();

// Writes each line at ERROR with the NET tag.
void LogTlsErrorQueue(const std::vector<std::string>& queue);

}  // namespace Voro
