#include "plugin/telemetry_sender.h"

#include <utility>

namespace Voro {

std::string TelemetrySender::EventPath(std::string_view name) {
  std::string path(kEventsPrefix);
  path.append(name);
  return path;
}

std::string TelemetrySender::CommonDataPath(std::string_view key) {
  std::string path(kCommonDataPrefix);
  path.append(key);
  return path;
}

std::future<RequestResult<void>> TelemetrySender::Completed(RequestResult<void> result) {
  std::promise<RequestResult<void>> promise;
  promise.set_value(std::move(result));
  return promise.get_future();
}

}  // namespace Voro
