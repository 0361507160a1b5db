#include "diag/event_xml_log_target.h"

#include <atomic>
#include <new>
#include <string_view>

#include "diag/event_xml_document.h"
#include "diag/log.h"
#include "diag/logger.h"
#include "diag/no_destructor.h"

namespace Voro {
namespace {

std::atomic<NativeEventCallback> g_native_event_callback{nullptr};

}  // namespace

NativeEventCallback SetNativeEventCallback(NativeEventCallback callback) {
  g_native_event_callback.store(callback, std::memory_order_release);
  return callback;
}

NativeEventCallback GetNativeEventCallback() {
  return g_native_event_callback.load(std::memory_order_acquire);
}

void AttachEventXMLLogTarget() { EventXMLLogTarget::Instance()->Attach(); }

EventXMLLogTarget* EventXMLLogTarget::Instance() {
  // Never destroyed: the logger may still hold it while static objects are destroyed.
  static NoDestructor<EventXMLLogTarget> instance;
  return instance.get();
}

EventXMLLogTarget::EventXMLLogTarget() : LogTarget(kFormat, kLevelWarn, 0, 0) {}

EventXMLLogTarget::~EventXMLLogTarget() { Detach(); }

const char* EventXMLLogTarget::Name() const { return "EventXMLLogTarget"; }

bool EventXMLLogTarget::Write(const LogRecord& record) {
  const NativeEventCallback callback = GetNativeEventCallback();
  if (callback == nullptr) {
    return false;  // nobody to hand a document to
  }
  char line[kLogLineSize];
  char tags[kMaxTagsLength + 1];
  Logger::FormatTagNames(record.tags, tags, sizeof tags);
  MutexLock lock(&mutex_);
  const size_t line_length = FormatLine(record, line);
  try {
    EventXMLDocument document(kEventName);
    document.AddParam("Type", Logger::LevelName(record.level));
    document.AddParam("Tags", tags);
    document.AddParam("Message", std::string_view(line, line_length));
    document.Close();
    return callback(document.Text().c_str()) != 0;
  } catch (const std::bad_alloc&) {
    // Out of memory costs this target its line, nothing more.
    return false;
  }
}

}  // namespace Voro
