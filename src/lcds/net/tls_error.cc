#include "lcds/net/tls_error.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "diag/log.h"

namespace Voro {
namespace {

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) {
      text += '\n';
    }
    text += line;
  }
  return text;
}

std::string SyscallText(int call_result, const std::vector<std::string>& queue) {
  if (!queue.empty()) {
    return JoinLines(queue);
  }
  switch (call_result) {
    case 0:
      return "SSL_ERROR_SYSCALL - An EOF was observed that violates the protocol.";
    case -1:
      return "SSL_ERROR_SYSCALL - The underlying BIO reported an I/O error.";
    default:
      return "SSL_ERROR_SYSCALL - Unknown error " + std::to_string(call_result) + ".";
  }
}

int CollectLine(const char* text, size_t length, void* context) {
  auto* lines = static_cast<std::vector<std::string>*>(context);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
    --length;
  }
  lines->emplace_back(text, length);
  return 1;
}

}  // namespace

TlsErrorInfo DescribeTlsError(int code, int call_result, const std::vector<std::string>& queue) {
  TlsErrorInfo info;
  info.code = code;
  switch (code) {
    case SSL_ERROR_NONE:
      info.text = "SSL_ERROR_NONE";
      break;
    case SSL_ERROR_SSL:
      info.text = JoinLines(queue);
      break;
    case SSL_ERROR_WANT_READ:
      info.text = "SSL_ERROR_WANT_READ";
      break;
    case SSL_ERROR_WANT_WRITE:
      info.text = "SSL_ERROR_WANT_WRITE";
      break;
    case SSL_ERROR_WANT_X509_LOOKUP:
      info.text = "SSL_ERROR_WANT_X509_LOOKUP";
      break;
    case SSL_ERROR_SYSCALL:
      info.text = SyscallText(call_result, queue);
      break;
    case SSL_ERROR_ZERO_RETURN:
      info.text = "SSL_ERROR_ZERO_RETURN";
      break;
    case SSL_ERROR_WANT_CONNECT:
      info.text = "SSL_ERROR_WANT_CONNECT";
      break;
    case SSL_ERROR_WANT_ACCEPT:
      info.text = "SSL_ERROR_WANT_ACCEPT";
      break;
    default:
      info.text = "Unknown SSL_ERROR code";
      break;
  }
  return info;
}

std::vector<std::string> TakeTlsErrorQueue() {
  std::vector<std::string> lines;
  // Prints and removes every entry; the one way to read the queue that OpenSSL 1.1 and 3
  // both offer without deprecation.
  ERR_print_errors_cb(CollectLine, &lines);
  return lines;
}

void LogTlsErrorQueue(const std::vector<std::string>& queue) {
  for (const std::string& line : queue) {
    Log(kLevelError, Tag::NET, "%s", line.c_str());
  }
}

}  // namespace Voro
