#include "lcds/mac_addresses.h"

#include <linux/if_packet.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

namespace Voro {
namespace {

// A hand-made interface list, in the order the entries were added: link-layer addresses of
// the given type and length, and IPv4 entries.
class InterfaceList {
 public:
  void AddLink(uint16_t hardware_type, std::vector<uint8_t> address) {
    sockaddr_ll& link = links_.emplace_back();  // zeroed
    link.sll_family = AF_PACKET;
    link.sll_hatype = hardware_type;
    link.sll_halen = static_cast<uint8_t>(address.size());
    std::memcpy(link.sll_addr, address.data(), std::min<size_t>(address.size(), 8));
    Add(reinterpret_cast<sockaddr*>(&link));
  }
  void AddInet() {
    sockaddr_in& inet = inet_.emplace_back();  // zeroed
    inet.sin_family = AF_INET;
    Add(reinterpret_cast<sockaddr*>(&inet));
  }
  const ifaddrs* First() const { return entries_.empty() ? nullptr : &entries_.front(); }

 private:
  void Add(sockaddr* address) {
    ifaddrs* previous = entries_.empty() ? nullptr : &entries_.back();
    ifaddrs& entry = entries_.emplace_back();  // zeroed
    entry.ifa_addr = address;
    if (previous != nullptr) previous->ifa_next = &entry;
  }
  std::deque<sockaddr_ll> links_;  // deques: the entries point into them
  std::deque<sockaddr_in> inet_;
  std::deque<ifaddrs> entries_;
};

TEST(MacAddressesTest, JoinsSixByteEthernetAddressesInOrder) {
  InterfaceList list;
  list.AddLink(ARPHRD_ETHER, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
  list.AddInet();
  list.AddLink(ARPHRD_LOOPBACK, {0, 0, 0, 0, 0, 0});
  list.AddLink(ARPHRD_ETHER, {0xAA, 0xbb, 0xCC, 0xdd, 0xEE, 0x0f});
  list.AddLink(ARPHRD_ETHER, {1, 2, 3, 4, 5, 6, 7, 8});  // not 6 bytes long
  EXPECT_EQ(MacAddressListOf(list.First()), "001122334455,AABBCCDDEE0F");
  InterfaceList none;
  none.AddInet();
  none.AddLink(ARPHRD_LOOPBACK, {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(MacAddressListOf(none.First()), "");
  EXPECT_EQ(MacAddressListOf(nullptr), "");
}

}  // namespace
}  // namespace Voro
