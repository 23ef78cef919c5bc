// The allow-list's ranges: what a list admits, which entries it refuses, and its canonical text.
#include "platform/untAddressRange.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(AddressRanges, AdmitsExactlyTheAddressesOfItsRanges) {
  struct Case {
    const char* sList;
    const char* sAddress;
    bool bIn;
  };
  const Case vCases[] = {
      {"127.0.0.1/32", "127.0.0.1", true},
      {"127.0.0.1/32", "127.0.0.2", false},
      {"127.0.0.1", "127.0.0.1", true},  // a single address is its own range
      {"127.0.0.1", "127.0.0.2", false},
      {"10.0.0.0/8", "10.255.1.2", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"192.168.1.0/25", "192.168.1.127", true},  // a prefix that ends inside a byte
      {"192.168.1.0/25", "192.168.1.128", false},
      {"10.1.2.3/8", "10.9.9.9", true},  // host bits in the range are ignored
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "::1", false},  // IPv4 ranges never admit IPv6 peers
      {"::/0", "127.0.0.1", false},
      {"fd00::/8", "fd12:3456::1", true},
      {"fd00::/8", "fe80::1", false},
      {"::1", "::1", true},
      {"10.0.0.0/8, 192.168.0.0/16", "192.168.4.4", true},  // blanks around entries
      {"10.0.0.0/8,,192.168.0.0/16", "192.168.4.4", true},   // an empty entry
      {"10.0.0.0/8", "not an address", false},
      {"", "127.0.0.1", false},
  };
  for (const Case& c : vCases) {
    TAddressRanges ranges;
    std::vector<std::string> lstInvalid;
    ranges.Parse(c.sList, lstInvalid);
    EXPECT_TRUE(lstInvalid.empty()) << c.sList;
    EXPECT_EQ(ranges.Contains(c.sAddress), c.bIn) << c.sList << " / " << c.sAddress;
  }
}

TEST(AddressRanges, InvalidEntriesAreNamedAndTheValidOnesKept) {
  TAddressRanges ranges;
  std::vector<std::string> lstInvalid;
  ranges.Parse("10.0.0.0/33, office, 192.168.0.0/16,::1/129,300.1.1.1,fd00::/8", lstInvalid);
  EXPECT_EQ(lstInvalid, (std::vector<std::string>{"10.0.0.0/33", "office", "::1/129", "300.1.1.1"}));
  EXPECT_EQ(ranges.Text(), "192.168.0.0/16,fd00::/8");
  EXPECT_TRUE(ranges.Contains("192.168.9.9"));
  EXPECT_FALSE(ranges.Contains("10.0.0.1"));

  ranges.Parse("nothing valid", lstInvalid);
  EXPECT_TRUE(ranges.Empty());
}

TEST(AddressRanges, TextIsCanonical) {
  TAddressRanges ranges;
  std::vector<std::string> lstInvalid;
  ranges.Parse("10.1.2.3/8,127.0.0.1,FD00:0:0::1/16", lstInvalid);
  EXPECT_EQ(ranges.Text(), "10.0.0.0/8,127.0.0.1/32,fd00::/16");
}

TEST(AddressRanges, IpAddressTextIsALiteralAddressOnly) {
  for (const char* s : {"0.0.0.0", "127.0.0.1", "::", "fe80::1"}) EXPECT_TRUE(IsIpAddressText(s)) << s;
  for (const char* s : {"", "localhost", "10.0.0.0/8", "1.2.3", " 127.0.0.1"}) EXPECT_FALSE(IsIpAddressText(s)) << s;
}

}  // namespace
