// Hands each accepted record to the embedding application as an XML event document
// (see event_xml_document.h) named "Log", through the native event callback.
#pragma once

#include "diag/log_record.h"
#include "diag/log_target.h"
#include "diag/thread_annotations.h"
#include "kiv/plugin_abi.h"

namespace Voro {

template <typename T>
class NoDestructor;

class EventXMLLogTarget final : public LogTarget {
 public:
  static constexpr const char* kFormat = "#M";
  static constexpr const char* kEventName = "Log";
  // The Tags parameter is cut to this many characters.
  static constexpr size_t kMaxTagsLength = 255;

  // The one instance, created on first use and never destroyed (it may be attached to the
  // logger until the process ends).
  static EventXMLLogTarget* Instance();

  const char* Name() const override;
  // Builds the document (Type: level name, Tags: tag names joined by ";", Message: the
  // "#M" line) and calls the native event callback with it. False when no callback is
  // registered or it returns 0.
  bool Write(const LogRecord& record) override EXCLUDES(mutex_);

 private:
  friend class NoDestructor<EventXMLLogTarget>;
  EventXMLLogTarget();
  ~EventXMLLogTarget() override;
};

// Stores callback, replacing any earlier one (null removes it), and returns it. Any thread.
// The callback runs on the logging thread with the logger's lock held: it must not log
// through this library.
NativeEventCallback SetNativeEventCallback(NativeEventCallback callback);
// The stored callback, or null.
NativeEventCallback GetNativeEventCallback();
// Attaches the one EventXMLLogTarget to the logger unless it is attached already.
void AttachEventXMLLogTarget();

}  // namespace Voro
