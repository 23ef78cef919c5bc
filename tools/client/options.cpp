// Command-line parsing of the CTI client tool; see options.h. One table
// lists every option with its help line, so --help cannot fall behind.
#include "options.h"

#include <charconv>
#include <cmath>
#include <functional>

#include "protocol.h"

namespace cticlient {

namespace {

using TSetter = std::function<bool(TClientOptions&, const std::string&, std::string&)>;

struct TOptionDef {
  const char* sName;   // without the leading "--"
  const char* sValue;  // value placeholder for the help text; nullptr for a switch
  const char* sHelp;   // one line
  TSetter fSet;        // stores the value; false with sError set when it is invalid
};

template <typename TNumber>
bool ParseWhole(const std::string& sText, TNumber nMin, TNumber nMax, TNumber& nValue) {
  const char* pEnd = sText.data() + sText.size();
  auto [pStop, tError] = std::from_chars(sText.data(), pEnd, nValue);
  return tError == std::errc() && pStop == pEnd && nValue >= nMin && nValue <= nMax;
}

bool ParseSeconds(const std::string& sText, double& dValue) {
  const char* pEnd = sText.data() + sText.size();
  auto [pStop, tError] = std::from_chars(sText.data(), pEnd, dValue);
  return tError == std::errc() && pStop == pEnd && std::isfinite(dValue) && dValue > 0 &&
         dValue <= 1e7;
}

// Text that goes onto the wire inside one line must not carry a line end or
// another control character: it would cut the message in two.
bool IsLineText(const std::string& sText) {
  for (unsigned char c : sText)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

TSetter List(std::vector<int32_t> TClientOptions::*pField) {
  return [pField](TClientOptions& tOptions, const std::string& sValue, std::string& sError) {
    return ExpandNumberList(sValue, tOptions.*pField, sError);
  };
}

TSetter Line(std::string TClientOptions::*pField, bool bAllowEmpty) {
  return [pField, bAllowEmpty](TClientOptions& tOptions, const std::string& sValue,
                               std::string& sError) {
    if ((!bAllowEmpty && sValue.empty()) || !IsLineText(sValue)) {
      sError = "must be one line of printable text";
      return false;
    }
    tOptions.*pField = sValue;
    return true;
  };
}

TSetter Switch(bool TClientOptions::*pField) {
  return [pField](TClientOptions& tOptions, const std::string&, std::string&) {
    tOptions.*pField = true;
    return true;
  };
}

template <typename TNumber>
TSetter Whole(TNumber TClientOptions::*pField, TNumber nMin, TNumber nMax) {
  return [=](TClientOptions& tOptions, const std::string& sValue, std::string& sError) {
    if (ParseWhole(sValue, nMin, nMax, tOptions.*pField)) return true;
    sError = "must be a whole number from " + std::to_string(nMin) + " to " + std::to_string(nMax);
    return false;
  };
}

TSetter Seconds(double TClientOptions::*pField) {
  return [pField](TClientOptions& tOptions, const std::string& sValue, std::string& sError) {
    if (ParseSeconds(sValue, tOptions.*pField)) return true;
    sError = "must be a positive number of seconds";
    return false;
  };
}

bool SetExpectSeq(TClientOptions& tOptions, const std::string& sValue, std::string& sError) {
  const size_t nDash = sValue.find('-');
  const uint64_t nMax = UINT64_MAX - 1;
  if (nDash == std::string::npos ||
      !ParseWhole(sValue.substr(0, nDash), uint64_t{0}, nMax, tOptions.nExpectFirst) ||
      !ParseWhole(sValue.substr(nDash + 1), uint64_t{0}, nMax, tOptions.nExpectLast) ||
      tOptions.nExpectFirst > tOptions.nExpectLast) {
    sError = "must be a range A-B of sequence numbers with A <= B";
    return false;
  }
  tOptions.bExpectSeq = true;
  return true;
}

// "Q,E,P": the first numbers of the relay's queue, extension and parking ranges; the sizes are
// the relay's own (1,001, 10,001 and 101 numbers).
bool SetKeyFirst(TClientOptions& tOptions, const std::string& sValue, std::string& sError) {
  const size_t nComma1 = sValue.find(','), nComma2 = sValue.find(',', nComma1 + 1);
  int32_t vFirst[3] = {};
  const int32_t nMax = INT32_MAX - 10000;
  if (nComma1 == std::string::npos || nComma2 == std::string::npos ||
      !ParseWhole(sValue.substr(0, nComma1), 0, nMax, vFirst[0]) ||
      !ParseWhole(sValue.substr(nComma1 + 1, nComma2 - nComma1 - 1), 0, nMax, vFirst[1]) ||
      !ParseWhole(sValue.substr(nComma2 + 1), 0, nMax, vFirst[2])) {
    sError = "must be three first numbers Q,E,P, e.g. 10001,201,701";
    return false;
  }
  tOptions.tQueueRange = {vFirst[0], vFirst[0] + (kQueueRange.nLast - kQueueRange.nFirst)};
  tOptions.tPeerRange = {vFirst[1], vFirst[1] + (kPeerRange.nLast - kPeerRange.nFirst)};
  tOptions.tParkRange = {vFirst[2], vFirst[2] + (kParkRange.nLast - kParkRange.nFirst)};
  return true;
}

bool AddSend(TClientOptions& tOptions, const std::string& sValue, std::string& sError) {
  if (!IsLineText(sValue)) {
    sError = "must be one line of printable text";
    return false;
  }
  tOptions.lstSend.push_back(sValue);
  return true;
}

const std::vector<TOptionDef>& OptionTable() {
  static const std::vector<TOptionDef> vTable = {
      {"host", "H", "relay host name or address (default 127.0.0.1)", Line(&TClientOptions::sHost, false)},
      {"port", "P", "relay's client port (default 50387)", Whole(&TClientOptions::nPort, 1, 65535)},
      {"tls", nullptr, "speak TLS (to the relay's TLS port) and verify its certificate and host name", Switch(&TClientOptions::bTls)},
      {"ca", "FILE", "with --tls: PEM file of the trusted authorities (default: the system's trust store)", Line(&TClientOptions::sCaFile, false)},
      {"app-id", "NAME", "application name sent in the handshake; load mode sends NAME-1..NAME-N", Line(&TClientOptions::sAppId, true)},
      {"token", "CODE", "access code (default qmRoK8])", Line(&TClientOptions::sToken, true)},
      {"queues", "LIST", "queues to subscribe: numbers and ranges, e.g. 10001-10010,10020 (may be empty)", List(&TClientOptions::vQueues)},
      {"peers", "LIST", "extensions to subscribe, same form (20001-30001)", List(&TClientOptions::vPeers)},
      {"parks", "LIST", "parking lots to subscribe, same form (701-801)", List(&TClientOptions::vParks)},
      {"key-first", "Q,E,P", "first queue, extension and parking numbers of the relay's ranges (default 10001,20001,701)", SetKeyFirst},
      {"send", "TEXT", "command sent after READY, e.g. \"ChangeQueueInfo: (10001:FALSE)\"; repeatable", AddSend},
      {"timestamps", nullptr, "prefix each printed frame with its receive time", Switch(&TClientOptions::bTimestamps)},
      {"quiet", nullptr, "print no frames, only READY and a RESULT line at the end", Switch(&TClientOptions::bQuiet)},
      {"count", "N", "exit after N frames (load mode: once every client has N)", Whole(&TClientOptions::nCount, int64_t{1}, INT64_MAX)},
      {"duration", "S", "exit after S seconds (fractions allowed)", Seconds(&TClientOptions::dDuration)},
      {"load", "N", "load mode: N clients in one process, then a report", Whole(&TClientOptions::nLoad, 1, 10000)},
      {"expect-seq", "A-B", "count every TelvaneSeq of A..B a client did not get as lost", SetExpectSeq},
      {"progress", nullptr, "a progress line on stderr every second", Switch(&TClientOptions::bProgress)},
      {"handshake-timeout", "S", "seconds to wait for each handshake reply (default 5)", Seconds(&TClientOptions::dHandshakeTimeout)},
      {"retries", "N", "load mode: handshake attempts after a failed one, from the greeting (default 3)", Whole(&TClientOptions::nRetries, 0, 1000)},
      {"verbose", nullptr, "show the handshake and retries on stderr", Switch(&TClientOptions::bVerbose)},
      {"nats", "URL", "follow the frames on NATS instead of the relay's port: servers, comma-separated", Line(&TClientOptions::sNatsUrl, false)},
      {"nats-prefix", "P", "subject prefix the relay publishes under (default telvane)", Line(&TClientOptions::sNatsPrefix, false)},
      {"nats-stream", "NAME", "with --nats: replay the JetStream stream NAME from its first frame, then follow it", Line(&TClientOptions::sNatsStream, false)},
      {"nats-creds", "FILE", "with --nats: credentials file (user JWT and seed)", Line(&TClientOptions::sNatsCreds, false)},
      {"nats-per-connection", "N", "with --nats --load: subscribers sharing one connection (default 50)", Whole(&TClientOptions::nNatsPerConnection, 1, 10000)},
      {"help", nullptr, "print this text and exit", Switch(&TClientOptions::bHelp)},
  };
  return vTable;
}

const TOptionDef* FindOption(const std::string& sName) {
  for (const TOptionDef& tDef : OptionTable())
    if (sName == tDef.sName) return &tDef;
  return nullptr;
}

}  // namespace

bool ParseClientOptions(const std::vector<std::string>& lstArgs, TClientOptions& tOptions,
                        std::string& sError) {
  for (size_t i = 0; i < lstArgs.size(); ++i) {
    const std::string& sArg = lstArgs[i];
    if (!sArg.starts_with("--")) {
      sError = "unexpected argument \"" + sArg + "\"";
      return false;
    }
    const size_t nEquals = sArg.find('=');
    const std::string sName = sArg.substr(2, nEquals == std::string::npos ? std::string::npos : nEquals - 2);
    const TOptionDef* pDef = FindOption(sName);
    if (pDef == nullptr) {
      sError = "unknown option --" + sName;
      return false;
    }
    std::string sValue;
    if (pDef->sValue == nullptr) {
      if (nEquals != std::string::npos) {
        sError = "--" + sName + " takes no value";
        return false;
      }
    } else if (nEquals != std::string::npos) {
      sValue = sArg.substr(nEquals + 1);
    } else if (i + 1 < lstArgs.size()) {
      sValue = lstArgs[++i];
    } else {
      sError = "--" + sName + " needs a value";
      return false;
    }
    std::string sWhy;
    if (!pDef->fSet(tOptions, sValue, sWhy)) {
      sError = "--" + sName + ": " + sWhy;
      return false;
    }
  }
  if (!tOptions.sNatsUrl.empty() && !tOptions.lstSend.empty()) {
    sError = "--send needs the relay's port; NATS subscribers send nothing";
    return false;
  }
  if (tOptions.sNatsUrl.empty() && !tOptions.sNatsStream.empty()) {
    sError = "--nats-stream needs --nats";
    return false;
  }
  if (!tOptions.sCaFile.empty() && !tOptions.bTls) {
    sError = "--ca needs --tls";
    return false;
  }
  return true;
}

std::string ClientUsageText() {
  std::string sText =
      "usage: telvane-client [options]\n"
      "Connects to the relay's client port, subscribes and prints every event frame;\n"
      "with --nats, follows the same frames on NATS instead.\n";
  for (const TOptionDef& tDef : OptionTable()) {
    std::string sLeft = std::string("  --") + tDef.sName;
    if (tDef.sValue != nullptr) sLeft += std::string(" ") + tDef.sValue;
    if (sLeft.size() < 26) sLeft.resize(26, ' ');
    else sLeft += ' ';
    sText += sLeft + tDef.sHelp + "\n";
  }
  return sText;
}

}  // namespace cticlient
