#include "lcds/mac_addresses.h"

#include <linux/if_packet.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <deque>
#include <vector>

namespace Voro {
namespace {

// A hand-made interface list: each entry a link-layer address of the given type and length.
class InterfaceList {
 public:
  void AddLink(uint16_t hardware_type, std::vector<uint8_t> address) {
    auto& link = links_.emplace_back();
    std::memset(&link, 0, sizeof link);
    link.sll_family = AF_PACKET;
    link.sll_hatype = hardware_type;
    link.sll_halen = static_cast<uint8_t>(address.size());
    std::memcpy(link.sll_addr, address.data(), std::min<size_t>(address.size(), 8));
  }
  void AddInet() { inet_.emplace_back().sin_family = AF_INET; }

  const ifaddrs* Build() {
    entries_.clear();
    entries_.resize(links_.size() + inet_.size());
    size_t i = 0;
    for (auto& link : links_) {
      entries_[i++].ifa_addr = reinterpret_cast<sockaddr*>(&link);
    }
    for (auto& inet : inet_) {
      entries_[i++].ifa_addr = reinterpret_cast<sockaddr*>(&inet);
    }
    for (size_t k = 0; k + 1 < entries_.size(); ++k) {
      entries_[k].ifa_next = &entries_[k + 1];
    }
    return entries_.empty() ? nullptr : entries_.data();
  }

 private:
  std::deque<sockaddr_ll> links_;  // deques: the entries point into them
  std::deque<sockaddr_in> inet_;
  std::vector<ifaddrs> entries_;
};

TEST(MacAddressesTest, JoinsSixByteEthernetAddressesInOrder) {
  InterfaceList list;
  list.AddLink(ARPHRD_ETHER, {0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
  list.AddInet();
  list.AddLink(ARPHRD_LOOPBACK, {0, 0, 0, 0, 0, 0});
  list.AddLink(ARPHRD_ETHER, {0xAA, 0xbb, 0xCC, 0xdd, 0xEE, 0x0f});
  list.AddLink(ARPHRD_ETHER, {1, 2, 3, 4, 5, 6, 7, 8});  // not 6 bytes long
  EXPECT_EQ(MacAddressListOf(list.Build()), "001122334455,AABBCCDDEE0F");
  InterfaceList none;
  none.AddInet();
  none.AddLink(ARPHRD_LOOPBACK, {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(MacAddressListOf(none.Build()), "");
  EXPECT_EQ(MacAddressListOf(nullptr), "");
}

}  // namespace
}  // namespace Voro
