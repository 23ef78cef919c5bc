// Answers of the simulated exchange to the client's actions: login, queue list, command, ping and
// logoff. Pure functions of the action, the options and the connection's login state.
//
// The login answers are the exact texts the relay tests for (a "Response: Success" line, or
// "Response: " with "Error"). Before a successful login every action but Login and Logoff is
// refused, as a real manager interface does. Blocks without an "Action:" field are ignored without
// an answer.
#include <algorithm>
#include <cctype>

#include "protocol.h"

namespace exsim {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// "Response: X\r\n" plus the client's ActionID, if it sent one, then sRest and the empty line.
std::string Reply(const TAction& tAction, std::string_view sResponse, std::string_view sRest) {
  std::string sOut = "Response: " + std::string(sResponse) + "\r\n";
  std::string sActionId = tAction.Get("ActionID");
  if (!sActionId.empty()) sOut += "ActionID: " + sActionId + "\r\n";
  sOut.append(sRest);
  sOut += "\r\n";
  return sOut;
}

TAnswer AnswerLogin(const TAction& tAction, const TExchangeOptions& tOptions) {
  TAnswer tAnswer;
  bool bGood = !tOptions.bRefuseLogin && tAction.Get("Username") == tOptions.sUser &&
               tAction.Get("Secret") == tOptions.sSecret;
  if (tAction.Get("ActionID").empty()) {
    tAnswer.sText = bGood ? kLoginAccepted : kLoginFailed;
  } else {
    tAnswer.sText = bGood ? Reply(tAction, "Success", "Message: Authentication accepted\r\n")
                          : Reply(tAction, "Error", "Message: Authentication failed\r\n");
  }
  tAnswer.bLoginAccepted = bGood;
  tAnswer.bLoginRefused = !bGood;
  return tAnswer;
}

std::string CommandOutput(const std::string& sCommand, int64_t nUptimeSeconds) {
  if (sCommand == "core show uptime")
    return "System uptime: " + FormatDuration(nUptimeSeconds) + "\r\n" +
           "Last reload: " + FormatDuration(nUptimeSeconds) + "\r\n";
  return "No such command '" + sCommand + "'\r\n";
}

}  // namespace

std::string FormatDuration(int64_t nSeconds) {
  struct TUnit {
    int64_t nSize;
    const char* sName;
  };
  static const TUnit vUnits[] = {{86400, "day"}, {3600, "hour"}, {60, "minute"}, {1, "second"}};
  if (nSeconds <= 0) return "0 seconds";
  std::string sOut;
  for (const TUnit& tUnit : vUnits) {
    int64_t nAmount = nSeconds / tUnit.nSize;
    nSeconds %= tUnit.nSize;
    if (nAmount == 0) continue;
    if (!sOut.empty()) sOut += ", ";
    sOut += std::to_string(nAmount) + " " + tUnit.sName + (nAmount == 1 ? "" : "s");
  }
  return sOut;
}

std::string QueueSummaryText(const TExchangeOptions& tOptions) {
  constexpr int32_t kMaxListed = 100;  // a wide range would otherwise answer with megabytes
  const TKeyRange& tQueues = tOptions.tQueues;
  const TKeyRange& tPeers = tOptions.tPeers;
  int32_t nListed = std::min(tQueues.Count(), kMaxListed);
  std::string sOut;
  for (int32_t q = 0; q < nListed; ++q) {
    sOut += std::to_string(tQueues.nFirst + q) +
            " has 0 calls (max unlimited) in 'ringall' strategy, W:0, C:0, A:0\r\n"
            "   Members:\r\n";
    // Extensions are spread over the queues round-robin; a few members are shown per queue.
    for (int32_t p = q, nShown = 0; p < tPeers.Count() && nShown < 5; p += nListed, ++nShown)
      sOut += "      SIP/" + std::to_string(tPeers.nFirst + p) + " (Not in use)\r\n";
    sOut += "   No Callers\r\n";
  }
  if (tQueues.Count() > nListed)
    sOut += "... and " + std::to_string(tQueues.Count() - nListed) + " more\r\n";
  sOut += "\r\n";
  return sOut;
}

TAnswer AnswerAction(const TAction& tAction, const TExchangeOptions& tOptions, bool bLoggedIn,
                     int64_t nUptimeSeconds) {
  const std::string sAction = Lower(tAction.Get("Action"));
  TAnswer tAnswer;
  if (sAction.empty()) return tAnswer;  // not an action: ignored
  if (sAction == "login") return AnswerLogin(tAction, tOptions);
  if (sAction == "logoff") {
    tAnswer.sText = Reply(tAction, "Goodbye", "Message: Session closed\r\n");
    tAnswer.bClose = true;
  } else if (!bLoggedIn) {
    tAnswer.sText = Reply(tAction, "Error", "Message: Authentication Required\r\n");
  } else if (sAction == "queues") {
    tAnswer.sText = QueueSummaryText(tOptions);
  } else if (sAction == "command") {
    if (!tOptions.bNoAnswerKeepAlive)
      tAnswer.sText =
          Reply(tAction, "Follows",
                "Privilege: Command\r\n" + CommandOutput(tAction.Get("Command"), nUptimeSeconds) +
                    "--END COMMAND--\r\n");
  } else if (sAction == "ping") {
    tAnswer.sText = Reply(tAction, "Success", "Ping: Pong\r\n");
  } else {
    tAnswer.sText = Reply(tAction, "Error", "Message: Invalid/unknown command\r\n");
  }
  return tAnswer;
}

}  // namespace exsim
