// IP address ranges: the client port's allow-list, and the check of a configured local address.
//
// A list is comma-separated IPv4 and IPv6 ranges in CIDR form ("10.0.0.0/8", "fd00::/8"), or
// single addresses, which stand for themselves (/32, /128). Parsing is Asio's; the match is a
// prefix comparison of the address bytes. An IPv4 peer never matches an IPv6 range and the other
// way round (the listener reports IPv4-mapped IPv6 peers as plain IPv4).
// Pure values: no shared state, any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class TAddressRanges {
 public:
  // Replaces the list with the ranges of sList. Entries that are not a range are left out and
  // named in lstInvalid; blanks around entries and empty entries are ignored.
  void Parse(const std::string& sList, std::vector<std::string>& lstInvalid);
  bool Empty() const { return vRanges.empty(); }
  // True when sAddress (dotted IPv4 or IPv6 text) lies in one of the ranges.
  bool Contains(const std::string& sAddress) const;
  // The ranges in canonical form, comma-separated ("10.0.0.0/8,::1/128").
  std::string Text() const;

 private:
  struct TRange {
    bool bV6 = false;                 // an IPv6 range
    std::array<uint8_t, 16> vBytes{};  // network address, first 4 bytes for IPv4
    int nPrefix = 0;                  // significant leading bits
  };
  std::vector<TRange> vRanges;  // in the order given
};

// True when sText is a literal IPv4 or IPv6 address (no host name, no range).
bool IsIpAddressText(const std::string& sText);
