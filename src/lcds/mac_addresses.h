// The machine's Ethernet hardware addresses as the login sends them: each 6-byte address as
// 12 upper-case hexadecimal digits, joined by ",", in the order the system lists them.
#pragma once

#include <ifaddrs.h>

#include <string>

namespace Voro {

inline constexpr char kNoAdapterAddressesMessage[] = "No adapter addresses were found";
inline constexpr char kAdapterAddressesErrorMessage[] = "Error from GetAdaptersAddresses: (%d) %s";
inline constexpr char kAdapterAddressesMemoryMessage[] =
    "Memory allocation failed for IP_ADAPTER_ADDRESSES struct.";

// From the system's interface list; a failure logs at ERROR and gives "". Any thread.
std::string MacAddressList();

// The list made from `interfaces` (AF_PACKET entries of Ethernet type with 6-byte addresses
// count; every other entry is skipped).
std::string MacAddressListOf(const ifaddrs* interfaces);

}  // namespace Voro
