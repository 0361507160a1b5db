// The outcome of one RTMP call: the answer on success, the fault object on failure.
#pragma once

#include <string_view>

#include "lcds/amf/amf0_item.h"

namespace Voro::RTMP {

struct [[nodiscard]] CommandResult {
  bool success = false;
  AmfValue value;

  bool ok() const { return success; }
};

// A failure whose value is an anonymous dynamic AMF3 object with "faultCode" and
// "faultString" (the form of the failures the client makes up itself).
CommandResult MakeFault(std::string_view fault_code, std::string_view fault_string);

inline constexpr char kTimeoutFaultCode[] = "RTMP_TIMEOUT";
inline constexpr char kTimeoutFaultString[] = "Timed out";
inline constexpr char kDisconnectFaultCode[] = "RTMP_DISCONNECT";
inline constexpr char kDisconnectFaultString[] = "Disconnected";
// The answer arrived but holds a value this program cannot read; the fault string is the
// reader's error.
inline constexpr char kUnreadableFaultCode[] = "RTMP_UNREADABLE_ANSWER";
inline constexpr char kTooLargeFaultCode[] = "RTMP_MESSAGE_TOO_LARGE";
inline constexpr char kTooLargeFaultString[] = "Message too large";

}  // namespace Voro::RTMP
