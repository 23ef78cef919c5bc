// Command-line options of the CTI client tool.
//
// Parsed once on the main thread before any connection is made; read-only
// afterwards. ParseClientOptions is a pure function over the argument list so
// that tests can feed it tables of command lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol.h"

namespace cticlient {

struct TClientOptions {
  // Where and who.
  std::string sHost = "127.0.0.1";      // relay host name or address
  int32_t nPort = 50387;                // relay's client port
  bool bTls = false;                    // speak TLS (the relay's TLSPORT)
  std::string sCaFile;                  // PEM file of trusted authorities for --tls; empty: system store
  std::string sAppId = "telvane-client";  // application name; load mode appends -1..-N
  std::string sToken = "qmRoK8]";       // access code

  // Subscriptions, expanded from the command line's lists.
  std::vector<int32_t> vQueues;  // queue numbers
  std::vector<int32_t> vPeers;   // extension numbers
  std::vector<int32_t> vParks;   // parking lot numbers
  // The relay's ranges, for the warning about numbers it ignores (moved by its [KEYS]).
  TNumberRange tQueueRange = kQueueRange;
  TNumberRange tPeerRange = kPeerRange;
  TNumberRange tParkRange = kParkRange;

  // Output.
  bool bTimestamps = false;  // prefix each printed frame with its receive time
  bool bQuiet = false;       // print no frames, only a summary at the end
  bool bProgress = false;    // a progress line on stderr every second
  bool bVerbose = false;     // handshake traffic and retries on stderr

  // Run.
  std::vector<std::string> lstSend;  // commands sent after READY, in order
  int64_t nCount = 0;                // frames before exiting (load: per client); 0 = no limit
  double dDuration = 0;              // seconds before exiting; 0 = no limit
  int32_t nLoad = 0;                 // clients of a load run; 0 = one interactive client
  bool bExpectSeq = false;           // loss counted against nExpectFirst..nExpectLast
  uint64_t nExpectFirst = 0;         // first expected TelvaneSeq
  uint64_t nExpectLast = 0;          // last expected TelvaneSeq
  double dHandshakeTimeout = 5;      // seconds to wait for each prompt
  int32_t nRetries = 3;              // load mode: handshake attempts after the first
  bool bHelp = false;                // print the usage text and exit

  // NATS mode: follow the relay's frames on NATS instead of its client port.
  std::string sNatsUrl;              // servers, comma-separated; empty = port mode
  std::string sNatsPrefix = "telvane";  // subject prefix the relay publishes under
  std::string sNatsStream;           // replay this JetStream stream from its start; empty = live only
  std::string sNatsCreds;            // credentials file; empty for none
  int32_t nNatsPerConnection = 50;   // load mode: subscribers sharing one NATS connection
};

// Parses argv[1..]; "--name value" and "--name=value" are both accepted. On
// failure returns false and sets sError to a one-line reason. Options of the
// port mode that mean nothing on NATS (--send) are refused with --nats.
bool ParseClientOptions(const std::vector<std::string>& lstArgs, TClientOptions& tOptions,
                        std::string& sError);

// The text printed by --help: one line per option.
std::string ClientUsageText();

}  // namespace cticlient
