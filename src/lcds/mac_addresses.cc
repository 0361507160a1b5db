#include "lcds/mac_addresses.h"

#include <linux/if_packet.h>
#include <net/if_arp.h>
#include <sys/socket.h>

#include <cerrno>

#include "diag/log.h"
#include "diag/system_error.h"

namespace Voro {

std::string MacAddressListOf(const ifaddrs* interfaces) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string list;
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET) {
      continue;
    }
    const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
    if (link->sll_hatype != ARPHRD_ETHER || link->sll_halen != 6) {
      continue;
    }
    if (!list.empty()) {
      list += ',';
    }
    for (int i = 0; i < 6; ++i) {
      list += kHex[link->sll_addr[i] >> 4];
      list += kHex[link->sll_addr[i] & 0xF];
    }
  }
  return list;
}

std::string MacAddressList() {
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) {
    const int code = errno;
    if (code == ENOMEM) {
      Log(kLevelError, Tag::NET, "%s", kAdapterAddressesMemoryMessage);
    } else {
      Log(kLevelError, Tag::NET, kAdapterAddressesErrorMessage, code,
          SystemErrorText(code).c_str());
    }
    return {};
  }
  if (interfaces == nullptr) {
    Log(kLevelError, Tag::NET, "%s", kNoAdapterAddressesMessage);
    return {};
  }
  std::string list = MacAddressListOf(interfaces);
  freeifaddrs(interfaces);
  return list;
}

}  // namespace Voro
