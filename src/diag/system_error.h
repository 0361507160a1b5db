// The system's message text for an error code (errno values).
#pragma once

#include <cstddef>
#include <string>

namespace Voro {

// The text used when the system has no message for a code.
inline constexpr char kErrorTextUnavailable[] = "Failed to get error text";

// Writes the system's message for `code` into buffer[0, size), cut to fit and terminated;
// returns its length. With glibc's strerror_r an unknown code reads "Unknown error N"; a C
// library with the XSI form refuses it, which gives kErrorTextUnavailable. Any thread.
size_t SystemErrorText(int code, char* buffer, size_t size);
std::string SystemErrorText(int code);

// Writes `system_text`, or kErrorTextUnavailable when it is null, cut to the buffer.
size_t WriteErrorText(const char* system_text, char* buffer, size_t size);

}  // namespace Voro
