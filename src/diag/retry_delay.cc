#include "diag/retry_delay.h"

#include <algorithm>
#include <chrono>

#include "diag/mutex.h"

namespace Voro {

namespace {

class SharedEngine {
 public:
  SharedEngine() noexcept : engine_(RetrySeedFromDevice(DeviceValue())) {}

  int64_t Draw(uint32_t attempt, int64_t minimum, int64_t maximum) EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    return RetryDelayWith(engine_, attempt, minimum, maximum);
  }

 private:
  static uint64_t DeviceValue() noexcept {
    try {
      std::random_device device;
      return device();
    } catch (...) {
      // No entropy device: the clock still spreads processes apart.
      return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
  }

  Mutex mutex_;
  std::minstd_rand engine_ GUARDED_BY(mutex_);
};

SharedEngine& Engine() noexcept {
  static SharedEngine engine;
  return engine;
}

// Seeded at load, so the first retry does not pay for opening the device.
[[maybe_unused]] const bool g_engine_seeded = (Engine(), true);

}  // namespace

uint32_t RetrySeedFromDevice(uint64_t device_value) {
  const uint64_t seed = device_value % std::minstd_rand::modulus;
  return seed == 0 ? 1 : static_cast<uint32_t>(seed);
}

int64_t RetryDelayCap(uint32_t attempt, int64_t minimum, int64_t maximum) {
  if (minimum <= 0) {
    minimum = 1;
  }
  if (maximum <= 0) {
    maximum = 1;
  }
  const uint32_t shift = std::min<uint32_t>(attempt, 31);
  // minimum << shift would pass maximum (or overflow) exactly when minimum > maximum >> shift.
  if (minimum > (maximum >> shift)) {
    return maximum;
  }
  return minimum << shift;
}

int64_t RetryDelayWith(std::minstd_rand& engine, uint32_t attempt, int64_t minimum,
                       int64_t maximum) {
  std::uniform_int_distribution<int64_t> spread(0, RetryDelayCap(attempt, minimum, maximum));
  return spread(engine);
}

int64_t RetryDelay(uint32_t attempt, int64_t minimum, int64_t maximum) {
  return Engine().Draw(attempt, minimum, maximum);
}

}  // namespace Voro
