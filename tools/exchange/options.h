// Command-line options of the exchange simulator.
//
// Parsed once on the main thread before anything starts; read-only afterwards. ParseOptions is a
// pure function over the argument list so the tests can feed it tables of command lines. In the
// classic dialect key ranges are checked against the shapes the classic relay reads (five-digit
// queues, five-digit extensions beginning with 2, three-digit parking slots), so the simulator
// cannot produce a key the relay would silently drop. The current dialect is read by whole values,
// so any numbering plan goes, and its queues may be named by words instead (--queue-names).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace exsim {

struct TKeyRange {
  int32_t nFirst = 0;  // first number of the range, inclusive
  int32_t nLast = 0;   // last number of the range, inclusive
  int32_t Count() const { return nLast - nFirst + 1; }
};

// How the events are written: as older releases with the manager's debug switch on write them
// (module "File:" lines, SIP channels), or as current releases do.
enum TProfile_OPT : uint8_t {
  PROFILE_CLASSIC,
  PROFILE_CURRENT,
};

struct TExchangeOptions {
  // Listening.
  std::string sBindAddress = "127.0.0.1";  // address the listener binds
  int32_t nPort = 50386;                   // TCP port; 0 lets the system choose
  std::string sTlsCert;                    // PEM certificate chain: speak TLS; empty: plain TCP
  std::string sTlsKey;                     // PEM private key of sTlsCert

  // Greeting and login.
  bool bNoGreeting = false;         // send nothing on connect
  bool bGreetingSplit = false;      // send the greeting in two writes cut inside a word
  std::string sUser = "amiadmin";   // accepted user name
  std::string sSecret = "pxwdkr";   // accepted secret
  bool bRefuseLogin = false;        // answer every login with the failure response
  bool bNoAnswerKeepAlive = false;  // never answer "Action: Command"
  int32_t nStartDelayMs = 200;      // ms between the login answer and the first event at most

  // Event sources.
  std::string sReplayFile;          // replay file; empty for none
  int64_t nRepeat = 1;              // passes over the replay file per connection; 0 = endless
  bool bReplayOnce = false;         // replay file sent once per process, resumed across connections
  bool bGenerate = false;           // synthetic call-centre traffic after the replay, if any
  double dRate = 10.0;              // events per second; 0 = as fast as the reader takes them
  TKeyRange tQueues{10001, 10010};  // queues the generator uses
  TKeyRange tPeers{20001, 20020};   // extensions the generator uses
  TKeyRange tParks{701, 705};       // parking slots the generator uses
  TProfile_OPT tProfile = PROFILE_CLASSIC;  // dialect the generator writes
  std::vector<std::string> lstQueueNames;   // current dialect: queues named by words, used
                                            // instead of the numbers of tQueues
  uint64_t nSeed = 1;               // seed of the generator and of --cut-random
  int64_t nCount = 0;               // generated events per connection; 0 = no limit
  bool bStamp = false;              // add TelvaneSeq and TelvaneSent to every event

  // Faults.
  bool bCutRandom = false;       // cut event writes at random positions
  int32_t nCutEvery = 0;         // cut event writes into pieces of this many bytes; 0 = off
  int32_t nCutPauseMs = 1;       // pause between the pieces of a cut write, ms
  bool bSilent = false;          // never send events (toggled at run time by "silent on/off")
  int64_t nSilentAfter = 0;      // stop sending events after this many per connection; 0 = off
  int64_t nCloseAfter = 0;       // close the connection after this many events; 0 = off
  int64_t nResetAfter = 0;       // reset the connection after this many events; 0 = off
  bool bCloseOnConnect = false;  // accept and close at once

  // Diagnostics.
  bool bVerbose = false;  // log connections, logins and counts to stderr
  bool bHelp = false;     // print the usage text and exit
};

// Parses argv[1..]; on failure returns false and sets sError to a one-line reason.
bool ParseOptions(const std::vector<std::string>& lstArgs, TExchangeOptions& tOptions,
                  std::string& sError);

// Parses "A-B" into a range; false unless both are decimal numbers and A <= B.
bool ParseKeyRange(const std::string& sText, TKeyRange& tRange);

// The text printed by --help: one line per option.
std::string UsageText();

}  // namespace exsim
