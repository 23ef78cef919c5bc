// Option table of the exchange simulator: each row names an option, says whether it takes a value,
// carries its one-line help and the routine that stores it. The usage text is built from the same
// table, so an option cannot exist without its help line.
#include "options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace exsim {
namespace {

using TApplyFn = std::function<bool(TExchangeOptions&, const std::string&)>;

constexpr size_t kMaxQueueNames = 1000;  // as many as the relay has queues to give them

struct TOptionRow {
  const char* sName;   // option as typed, with its leading dashes
  const char* sValue;  // name of its value in the help, or nullptr for a switch
  const char* sHelp;   // one line of help
  TApplyFn fApply;     // stores the value; false when the value is malformed
};

template <typename TInt>
bool ParseInteger(const std::string& sText, TInt nMin, TInt nMax, TInt& nOut) {
  TInt nValue{};
  const char* pEnd = sText.data() + sText.size();
  auto [pStop, tErr] = std::from_chars(sText.data(), pEnd, nValue);
  if (sText.empty() || tErr != std::errc() || pStop != pEnd) return false;
  if (nValue < nMin || nValue > nMax) return false;
  nOut = nValue;
  return true;
}

bool ParseRate(const std::string& sText, double& dOut) {
  if (sText.empty()) return false;
  char* pStop = nullptr;
  double dValue = std::strtod(sText.c_str(), &pStop);
  if (*pStop != '\0' || !std::isfinite(dValue) || dValue < 0 || dValue > 1e7) return false;
  dOut = dValue;
  return true;
}

TApplyFn Switch(bool TExchangeOptions::*pField) {
  return [pField](TExchangeOptions& t, const std::string&) {
    t.*pField = true;
    return true;
  };
}

template <typename TInt>
TApplyFn Integer(TInt TExchangeOptions::*pField, TInt nMin, TInt nMax) {
  return [=](TExchangeOptions& t, const std::string& s) {
    return ParseInteger<TInt>(s, nMin, nMax, t.*pField);
  };
}

TApplyFn Text(std::string TExchangeOptions::*pField) {
  return [pField](TExchangeOptions& t, const std::string& s) {
    t.*pField = s;
    return true;
  };
}

TApplyFn Range(TKeyRange TExchangeOptions::*pField) {
  return
      [pField](TExchangeOptions& t, const std::string& s) { return ParseKeyRange(s, t.*pField); };
}

bool ParseProfile(const std::string& sText, TProfile_OPT& tOut) {
  if (sText != "classic" && sText != "current") return false;
  tOut = sText == "current" ? PROFILE_CURRENT : PROFILE_CLASSIC;
  return true;
}

// A word of letters, digits, '_' or '-' that is not a number (the relay would read it as one).
bool IsQueueName(const std::string& sName) {
  auto fWordChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-'; };
  auto fDigit = [](char c) { return c >= '0' && c <= '9'; };
  return !sName.empty() && sName.size() <= 64 && std::all_of(sName.begin(), sName.end(), fWordChar) &&
         !std::all_of(sName.begin(), sName.end(), fDigit);
}

// "support,sales": queue names, none twice.
bool ParseQueueNames(const std::string& sText, std::vector<std::string>& lstOut) {
  std::vector<std::string> lstNames;
  for (size_t nFrom = 0; nFrom <= sText.size();) {
    const size_t nComma = std::min(sText.find(',', nFrom), sText.size());
    std::string sName = sText.substr(nFrom, nComma - nFrom);
    if (!IsQueueName(sName) || lstNames.size() == kMaxQueueNames ||
        std::find(lstNames.begin(), lstNames.end(), sName) != lstNames.end())
      return false;
    lstNames.push_back(std::move(sName));
    nFrom = nComma + 1;
  }
  lstOut = std::move(lstNames);
  return true;
}

const std::vector<TOptionRow>& OptionTable() {
  using T = TExchangeOptions;
  constexpr int64_t kBig = int64_t{1} << 53;
  static const std::vector<TOptionRow> vRows = {
      {"--port", "N", "TCP port to listen on (default 50386; 0 = any free port)",
       Integer<int32_t>(&T::nPort, 0, 65535)},
      {"--bind", "ADDR", "address to listen on (default 127.0.0.1)", Text(&T::sBindAddress)},
      {"--tls-cert", "FILE", "speak TLS 1.2+ with this PEM certificate chain (needs --tls-key)",
       Text(&T::sTlsCert)},
      {"--tls-key", "FILE", "PEM private key of --tls-cert", Text(&T::sTlsKey)},
      {"--no-greeting", nullptr, "send no greeting on connect", Switch(&T::bNoGreeting)},
      {"--greeting-split", nullptr, "send the greeting in two writes cut inside a word",
       Switch(&T::bGreetingSplit)},
      {"--user", "NAME", "user name accepted at login (default amiadmin)", Text(&T::sUser)},
      {"--secret", "TEXT", "secret accepted at login (default pxwdkr)", Text(&T::sSecret)},
      {"--refuse-login", nullptr, "refuse every login (the connection stays open)",
       Switch(&T::bRefuseLogin)},
      {"--no-answer-keepalive", nullptr, "never answer \"Action: Command\"",
       Switch(&T::bNoAnswerKeepAlive)},
      {"--start-delay", "MS",
       "events start at the client's next action or after MS ms (default 200)",
       Integer<int32_t>(&T::nStartDelayMs, 0, 600000)},
      {"--replay", "FILE", "send the event blocks of FILE after login (LF or CR LF line ends)",
       Text(&T::sReplayFile)},
      {"--repeat", "N", "passes over the replay file per connection (default 1; 0 = endless)",
       Integer<int64_t>(&T::nRepeat, 0, kBig)},
      {"--replay-once", nullptr, "send the replay once per process, resuming on a new connection",
       Switch(&T::bReplayOnce)},
      {"--generate", nullptr, "generate call-centre traffic (after the replay, if any)",
       Switch(&T::bGenerate)},
      {"--rate", "R", "events per second (default 10; 0 = as fast as the reader takes them)",
       [](T& t, const std::string& s) { return ParseRate(s, t.dRate); }},
      {"--queues", "A-B", "queue numbers to generate, five digits (default 10001-10010)",
       Range(&T::tQueues)},
      {"--peers", "A-B", "extensions to generate, 20000-29999 (default 20001-20020)",
       Range(&T::tPeers)},
      {"--parks", "A-B", "parking slots to generate, three digits (default 701-705)",
       Range(&T::tParks)},
      {"--profile", "NAME", "classic (default) or current: the dialect of a current release",
       [](T& t, const std::string& s) { return ParseProfile(s, t.tProfile); }},
      {"--queue-names", "LIST", "current: queues named by these words instead of --queues",
       [](T& t, const std::string& s) { return ParseQueueNames(s, t.lstQueueNames); }},
      {"--seed", "S", "seed of the generator and of --cut-random (default 1)",
       Integer<uint64_t>(&T::nSeed, 0, UINT64_MAX)},
      {"--count", "N", "stop generating after N events per connection, stay connected",
       Integer<int64_t>(&T::nCount, 0, kBig)},
      {"--stamp", nullptr, "add TelvaneSeq and TelvaneSent (microseconds) to every event",
       Switch(&T::bStamp)},
      {"--cut-random", nullptr, "cut event writes at random positions into several writes",
       Switch(&T::bCutRandom)},
      {"--cut-every", "N", "cut event writes into pieces of N bytes",
       Integer<int32_t>(&T::nCutEvery, 1, 1 << 20)},
      {"--cut-pause", "MS", "pause between the pieces of a cut write (default 1)",
       Integer<int32_t>(&T::nCutPauseMs, 0, 10000)},
      {"--silent", nullptr, "send no events (actions are still answered)", Switch(&T::bSilent)},
      {"--silent-after", "N", "stop sending events after N per connection",
       Integer<int64_t>(&T::nSilentAfter, 1, kBig)},
      {"--close-after", "N", "close the connection after N events",
       Integer<int64_t>(&T::nCloseAfter, 1, kBig)},
      {"--reset-after", "N", "reset the connection (RST) after N events",
       Integer<int64_t>(&T::nResetAfter, 1, kBig)},
      {"--close-on-connect", nullptr, "accept each connection and close it at once",
       Switch(&T::bCloseOnConnect)},
      {"--verbose", nullptr, "log connections, logins and counts to stderr", Switch(&T::bVerbose)},
      {"--help", nullptr, "print this help and exit", Switch(&T::bHelp)},
  };
  return vRows;
}

// The key shapes the classic relay reads; empty when the options keep to them. The current
// dialect is read by whole values, so every range ParseKeyRange accepts can be written.
std::string ClassicKeyProblem(const TExchangeOptions& t) {
  auto fInside = [](const TKeyRange& r, int32_t nMin, int32_t nMax) {
    return r.nFirst >= nMin && r.nLast <= nMax;
  };
  if (!fInside(t.tQueues, 10000, 99999)) return "--queues must lie within 10000-99999";
  if (!fInside(t.tPeers, 20000, 29999)) return "--peers must lie within 20000-29999";
  if (!fInside(t.tParks, 100, 999)) return "--parks must lie within 100-999";
  if (!t.lstQueueNames.empty()) return "--queue-names needs --profile current";
  return {};
}

// Cross-field checks: key shapes the relay reads, and options that exclude each other.
bool ValidateOptions(const TExchangeOptions& t, std::string& sError) {
  if (t.tProfile == PROFILE_CLASSIC) sError = ClassicKeyProblem(t);
  if (!sError.empty()) return false;
  if (t.bCutRandom && t.nCutEvery > 0)
    sError = "--cut-random and --cut-every exclude each other";
  else if (t.nCloseAfter > 0 && t.nResetAfter > 0)
    sError = "--close-after and --reset-after exclude each other";
  else if (t.sTlsCert.empty() != t.sTlsKey.empty())
    sError = "--tls-cert and --tls-key go together";
  return sError.empty();
}

}  // namespace

bool ParseKeyRange(const std::string& sText, TKeyRange& tRange) {
  size_t nDash = sText.find('-');
  if (nDash == std::string::npos) return false;
  TKeyRange tNew;
  if (!ParseInteger<int32_t>(sText.substr(0, nDash), 0, 999999, tNew.nFirst)) return false;
  if (!ParseInteger<int32_t>(sText.substr(nDash + 1), 0, 999999, tNew.nLast)) return false;
  if (tNew.nFirst > tNew.nLast) return false;
  tRange = tNew;
  return true;
}

bool ParseOptions(const std::vector<std::string>& lstArgs, TExchangeOptions& tOptions,
                  std::string& sError) {
  for (size_t i = 0; i < lstArgs.size(); ++i) {
    const std::string& sArg = lstArgs[i];
    const TOptionRow* pRow = nullptr;
    for (const TOptionRow& tRow : OptionTable())
      if (sArg == tRow.sName) pRow = &tRow;
    if (pRow == nullptr) {
      sError = "unknown option " + sArg;
      return false;
    }
    std::string sValue;
    if (pRow->sValue != nullptr) {
      if (i + 1 >= lstArgs.size()) {
        sError = sArg + " needs a value (" + pRow->sValue + ")";
        return false;
      }
      sValue = lstArgs[++i];
    }
    if (!pRow->fApply(tOptions, sValue)) {
      sError = "invalid value for " + sArg + ": " + sValue;
      return false;
    }
  }
  return ValidateOptions(tOptions, sError);
}

std::string UsageText() {
  std::string sText =
      "usage: telvane-exchange [options]\n"
      "Plays the exchange side of the manager interface for tests and demos.\n";
  for (const TOptionRow& tRow : OptionTable()) {
    std::string sLeft = std::string("  ") + tRow.sName;
    if (tRow.sValue != nullptr) sLeft += std::string(" ") + tRow.sValue;
    if (sLeft.size() < 26)
      sLeft.resize(26, ' ');
    else
      sLeft += ' ';
    sText += sLeft + tRow.sHelp + "\n";
  }
  sText += "stdin commands: close | reset | silent on | silent off | send PATH | raw TEXT | quit\n";
  return sText;
}

}  // namespace exsim
