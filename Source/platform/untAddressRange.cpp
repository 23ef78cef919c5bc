#include "platform/untAddressRange.h"

#include <asio.hpp>

namespace {

std::string TrimBlanks(const std::string& sText) {
  const size_t nBegin = sText.find_first_not_of(" \t");
  if (nBegin == std::string::npos) return "";
  const size_t nEnd = sText.find_last_not_of(" \t");
  return sText.substr(nBegin, nEnd - nBegin + 1);
}

// True when the first nPrefix bits of a and b agree.
bool SamePrefix(const uint8_t* a, const uint8_t* b, int nPrefix) {
  int nByte = 0;
  for (; nPrefix >= 8; nPrefix -= 8, ++nByte)
    if (a[nByte] != b[nByte]) return false;
  if (nPrefix == 0) return true;
  const uint8_t nMask = static_cast<uint8_t>(0xFF << (8 - nPrefix));
  return (a[nByte] & nMask) == (b[nByte] & nMask);
}

}  // namespace

void TAddressRanges::Parse(const std::string& sList, std::vector<std::string>& lstInvalid) {
  vRanges.clear();
  size_t nFrom = 0;
  while (nFrom <= sList.size()) {
    size_t nComma = sList.find(',', nFrom);
    if (nComma == std::string::npos) nComma = sList.size();
    const std::string sEntry = TrimBlanks(sList.substr(nFrom, nComma - nFrom));
    nFrom = nComma + 1;
    if (sEntry.empty()) continue;
    // A single address is a range of its own full length.
    const bool bHasPrefix = sEntry.find('/') != std::string::npos;
    asio::error_code ec;
    TRange range;
    if (sEntry.find(':') == std::string::npos) {
      const asio::ip::network_v4 net =
          bHasPrefix ? asio::ip::make_network_v4(sEntry, ec) : asio::ip::network_v4(asio::ip::make_address_v4(sEntry, ec), 32);
      if (!ec) {
        const auto vBytes = net.network().to_bytes();
        std::copy(vBytes.begin(), vBytes.end(), range.vBytes.begin());
        range.nPrefix = net.prefix_length();
      }
    } else {
      const asio::ip::network_v6 net =
          bHasPrefix ? asio::ip::make_network_v6(sEntry, ec) : asio::ip::network_v6(asio::ip::make_address_v6(sEntry, ec), 128);
      if (!ec) {
        range.bV6 = true;
        range.vBytes = net.network().to_bytes();
        range.nPrefix = net.prefix_length();
      }
    }
    if (ec)
      lstInvalid.push_back(sEntry);
    else
      vRanges.push_back(range);
  }
}

bool TAddressRanges::Contains(const std::string& sAddress) const {
  asio::error_code ec;
  const asio::ip::address address = asio::ip::make_address(sAddress, ec);
  if (ec) return false;
  std::array<uint8_t, 16> vBytes{};
  if (address.is_v4()) {
    const auto v4 = address.to_v4().to_bytes();
    std::copy(v4.begin(), v4.end(), vBytes.begin());
  } else {
    vBytes = address.to_v6().to_bytes();
  }
  for (const TRange& range : vRanges)
    if (range.bV6 == address.is_v6() && SamePrefix(range.vBytes.data(), vBytes.data(), range.nPrefix)) return true;
  return false;
}

std::string TAddressRanges::Text() const {
  std::string sText;
  for (const TRange& range : vRanges) {
    if (!sText.empty()) sText += ",";
    if (range.bV6) {
      sText += asio::ip::address_v6(range.vBytes).to_string();
    } else {
      sText += asio::ip::address_v4({range.vBytes[0], range.vBytes[1], range.vBytes[2], range.vBytes[3]}).to_string();
    }
    sText += "/" + std::to_string(range.nPrefix);
  }
  return sText;
}

bool IsIpAddressText(const std::string& sText) {
  asio::error_code ec;
  asio::ip::make_address(sText, ec);
  return !ec;
}
