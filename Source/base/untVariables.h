// Process-wide records shared by every subsystem: the run-time record, the configuration, the
// extension state table, the audit capture, the main timer's counters and the key ranges.
//
// They exist for the whole life of the process, start zeroed and never move or resize. They are
// allocated once and never freed, so a worker that is still leaving its loop at process end never
// touches a destroyed object. Ownership by thread is noted on each field; fields read by worker
// threads without a lock are atomics.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/untMutex.h"

// ---- Key ranges: the index of a number is the number minus the first of its range. ----
// The sizes are fixed. The first numbers below are the classic ones and the defaults; the ranges
// in force are those of MyConfigInfo.MyProfile (the CURRENT profile may move them), fixed before
// the rings start. Every range check goes through KeyIndex: over the ranges in force through the
// family's IndexOf (pipeline/untEventFamily.h), over a profile still being read with its numbers.
constexpr int32_t QUEUE_FIRST = 10001, QUEUE_LAST = 11001, QUEUE_COUNT = 1001;
constexpr int32_t PEER_FIRST = 20001, PEER_LAST = 30001, PEER_COUNT = 10001;
constexpr int32_t PARK_FIRST = 701, PARK_LAST = 801, PARK_COUNT = 101;
constexpr int32_t MAX_CLIENT_SLOTS = 100;

// ---- Enumerations (one byte, ordinal values as listed). ----
enum TMainSocketServerStateMachine_OPT : uint8_t {
  MAIN_SOCKET_SERVER_STATE_MACHINE_NONE = 0,
  MAIN_SOCKET_SERVER_STATE_MACHINE_STARTING = 1,
  MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP1 = 2,
  MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP2 = 3,
  MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP3 = 4,
  MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP4 = 5,
  MAIN_SOCKET_SERVER_STATE_MACHINE_AUTHENTICATING_STEP5 = 6,
  MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING = 7,
  MAIN_SOCKET_SERVER_STATE_MACHINE_CLOSING = 8,
};

enum TMainSocketClientStateMachine_OPT : uint8_t {
  MAIN_SOCKET_CLIENT_STATE_MACHINE_NONE = 0,
  MAIN_SOCKET_CLIENT_STATE_MACHINE_CONNECTING = 1,
  MAIN_SOCKET_CLIENT_STATE_MACHINE_AUTHENTICATING = 2,
  MAIN_SOCKET_CLIENT_STATE_MACHINE_RUNNING = 3,
  MAIN_SOCKET_CLIENT_STATE_MACHINE_CLOSING = 4,
};

enum TPeerState_OPT : uint8_t {
  PEER_STATE_UNREGISTERED = 0,
  PEER_STATE_DOWN = 1,
  PEER_STATE_RESERVED = 2,
  PEER_STATE_OFFHOOK = 3,
  PEER_STATE_DIALING = 4,
  PEER_STATE_RING = 5,
  PEER_STATE_RINGING = 6,
  PEER_STATE_UP = 7,
  PEER_STATE_BUSY = 8,
  PEER_STATE_DIALING_OFFHOOK = 9,
  PEER_STATE_PRERING = 10,
  PEER_STATE_NOTINUSE = 11,
  PEER_STATE_UNKNOWN = 12,
};

// How the pipeline's stages pace themselves ([GENERAL] PACING).
enum TPacing_OPT : uint8_t {
  PACING_PASS = 0,   // polls: the splitter naps 10 ms, the global stages 100 ms while few events wait,
                     // each per-key stage 100 ms after every pass
  PACING_EVENT = 1,  // woken by each push; a stage sleeps only while all of its rings are empty
};

// How the exchange's events are sorted into rings and keyed ([AMI] PROFILE).
enum TAmiProfile_OPT : uint8_t {
  AMI_PROFILE_CLASSIC = 0,  // by the "File:" module lines of older releases with debug on
  AMI_PROFILE_CURRENT = 1,  // by event names and fields of current releases
};

enum TTimeoutEventsState_OPT : uint8_t {
  TIMEOUTEVENTS_STATE_STEP1 = 0,  // no probe outstanding
  TIMEOUTEVENTS_STATE_STEP2 = 1,  // a probe was sent; the next silence restarts the connection
};

// ---- Records ----
struct TTimeoutEventsControl {
  int32_t nTimeoutControl = 0;  // seconds of silence counted while logged in; control thread
  TTimeoutEventsState_OPT tStateMachine = TIMEOUTEVENTS_STATE_STEP1;  // keep-alive step; control thread
};

// One client slot (its session is the desk service's). Control thread only.
struct TServerSocketInfo {
  TMainSocketServerStateMachine_OPT tMainSocketServerStateMachine = MAIN_SOCKET_SERVER_STATE_MACHINE_NONE;  // NONE = free
  std::string sRemoteAddress;                  // client's dotted address; with the port names the connection
  int32_t nRemotePort = 0;                     // client's port
  std::string sAppInfo;                        // application id given in the handshake
  std::string sToken;                          // access token given in the handshake
  std::array<bool, QUEUE_COUNT> vQueueList{};  // subscribed queues, by queue index
  std::array<bool, PEER_COUNT> vPeerList{};    // subscribed extensions, by extension index
  std::array<bool, PARK_COUNT> vFeatureParkList{};  // subscribed parking lots, by lot index
};

struct TClientPeerInfo {
  TPeerState_OPT tPeerState = PEER_STATE_UNREGISTERED;  // derived state of the extension
  int32_t nChannelCount = 0;                            // channels believed open
};

// Extension state table. Written by the per-extension stage and reset by the control thread;
// crsPeerTable keeps a reset from interleaving with the update of an entry.
struct TClientSocketInfo {
  TMutex crsPeerTable;                                                    // guards vPeerList
  std::array<TClientPeerInfo, PEER_COUNT> vPeerList GUARDED_BY(crsPeerTable);  // by extension index
};

struct TAppInfo {
  // Constant after start-up.
  std::string sAppFilePath;      // folder of the executable, with a trailing '/'
  bool bIsService = false;       // service mode (true) or window mode (false)
  std::string sConfigRefusal;    // the correction line that asked the process to end; empty if none

  // Written by the control thread, read by every worker.
  std::atomic<bool> bIsRunning{false};  // false ends the log writer and the workers; rings refuse text

  // Control thread only.
  bool bReconnecting = false;  // an automatic reconnection to the exchange is pending
  std::array<TMainSocketClientStateMachine_OPT, 1> tMainSocketClientStateMachine{};  // exchange connection 0
  TTimeoutEventsControl MyTimeoutEventsControl;  // keep-alive
  int32_t nTotalSocketReadEvents = 0;            // reads from the exchange since the connection last closed
  std::array<TServerSocketInfo, MAX_CLIENT_SLOTS> MyServerSocketInfo;  // the client slots

  TClientSocketInfo MyClientSocketInfo;  // extension state table (own lock)

  // Pane switches: written by the console's check boxes, read by the stages without a lock.
  std::atomic<bool> bWriteGeneralLogReceived{false};
  std::atomic<bool> bWriteGeneralLogProcessed{false};
  std::atomic<bool> bWriteGlobalQueueLog{false};
  std::atomic<bool> bWriteSpecificQueueLog{false};
  std::atomic<bool> bWriteGlobalPeerLog{false};
  std::atomic<bool> bWriteSpecificPeerLog{false};
  std::atomic<bool> bWriteGlobalFeatureParkLog{false};
  std::atomic<bool> bWriteSpecificFeatureParkLog{false};
};

// A queue named by words and the number it stands for ([QUEUENAMES] name=number).
struct TQueueName {
  std::string sName;    // the name in upper case (names match in any letter case)
  int32_t nQueue = 0;   // its number, inside the queue range in force
};

// The classification profile and what the CURRENT profile reads. Written only during start-up,
// before the rings start; read without a lock by the stages, the peer-state check and the client
// table afterwards. Start values are CLASSIC's, so a relay that never read a file keys as always.
struct TProfileConfig {
  // As read from Config.ini; the checks of start-up turn them into the values in force below (the
  // three first numbers are read into place and corrected there).
  std::string sProfile;      // [AMI] PROFILE as read
  std::string sChannelTech;  // [AMI] CHANNELTECH as read
  std::vector<std::pair<std::string, std::string>> lstQueueNameLines;  // [QUEUENAMES] key, value as read

  // In force.
  TAmiProfile_OPT tProfile = AMI_PROFILE_CLASSIC;  // how events are classified and keyed
  int32_t nQueueFirst = QUEUE_FIRST;  // first queue number ([KEYS] QUEUEFIRST under CURRENT)
  int32_t nPeerFirst = PEER_FIRST;    // first extension number ([KEYS] EXTENFIRST under CURRENT)
  int32_t nParkFirst = PARK_FIRST;    // first parking slot ([KEYS] PARKFIRST under CURRENT)
  std::vector<std::string> lstChannelTech;  // CURRENT: technologies whose channels name extensions
  std::vector<TQueueName> vQueueNames;      // CURRENT: named queues, sorted by sName
};

// [METRICS]: the HTTP endpoint for Prometheus metrics and the health check.
struct TMetricsConfig {
  int32_t nPort = 0;    // TCP port of the endpoint; 0 = no endpoint
  std::string sBindIP;  // address the endpoint listens on (IPv4 or IPv6 text)
};

// [WEB]: the WebSocket outlet for web desks and the wallboard page. nPort 0 leaves it off.
struct TWebConfig {
  int32_t nPort = 0;       // TCP port of the web server; 0 = no web server
  std::string sBindIP;     // address it listens on (IPv4 or IPv6 text)
  std::string sAllowFrom;  // comma-separated CIDR ranges admitted; empty = everyone
  std::string sTlsCert;    // PEM certificate chain: HTTPS and WSS when set with sTlsKey
  std::string sTlsKey;     // PEM private key
  int32_t nMaxClients = 0; // web desks connected at once, logged in or not
};

// Section [NATS]. An empty sUrl leaves publishing off and everything else unused.
struct TNatsConfig {
  std::string sUrl;             // servers, comma-separated ("nats://host:4222,tls://host:4222")
  std::string sCreds;           // credentials file (user JWT and seed); empty for none
  std::string sSubjectPrefix;   // first token(s) of every subject, e.g. "telvane"
  std::string sStream;          // JetStream stream over "<prefix>.>", created when missing; empty for none
  int32_t nMaxAgeHours = 0;     // how long the stream keeps a frame, hours
};

// The memory budget of the texts waiting in the rings ([GENERAL] MAXQUEUEDMB). Its default holds
// until the file is read, and when it cannot be: the rings are never without a bound.
constexpr int32_t DEFAULT_MAX_QUEUED_MB = 256;
struct TQueueBudgetConfig {
  int32_t nMaxQueuedMB = DEFAULT_MAX_QUEUED_MB;  // MB all queued texts may take together; read by every ring producer
};

// Configuration; written only by TValidate's constructor during start-up, read-only afterwards.
struct TConfigInfo {
  std::atomic<int32_t> nLogVerbose{0};  // highest log level written (read by every logging thread)
  int32_t nLogKeepDays = 30;        // days a daily log file is kept; 0 keeps all (handed to the log writer)
  bool bAutoStart = false;          // start both sides when the manager object is created
  bool bServerAutoStart = false;    // start the exchange connection at creation
  bool bServerAutoReconnect = false;  // reconnect after the connection is lost
  int32_t nServerReconnectTmr = 0;  // seconds to wait before reconnecting
  int32_t nServerTimeoutTmr = 0;    // seconds of silence before a probe, and again before a restart
  std::string sServerIP;            // exchange's address or host name
  int32_t nServerPort = 0;          // exchange's TCP port
  std::string sUsername;            // login user name
  std::string sSecret;              // login secret
  bool bProxyAutoStart = false;     // start the client listener at creation
  int32_t nProxyPort = 0;           // TCP port for client applications
  TProfileConfig MyProfile;         // classification profile, key ranges, named queues
  TMetricsConfig MyMetrics;         // [METRICS]
  TNatsConfig MyNats;               // section [NATS]: publishing every frame by key
  TWebConfig MyWeb;                 // section [WEB]: web desks and the wallboard

  // [PROXY] keys that guard the client port on a shared network. Start values: no deadline, no
  // limit, every interface, everyone admitted, no TLS listener.
  struct TClientPortConfig {
    int32_t nHandshakeTimeout = 0;  // seconds a connection may take to reach RUNNING; 0 = no limit
    int32_t nMaxPerAddress = 0;     // connections from one address not yet RUNNING; 0 = no limit
    std::string sBindIP;            // local address of both client listeners; empty = every interface
    std::string sAllowFrom;         // comma-separated CIDR ranges admitted; empty = everyone
    int32_t nTlsPort = 0;           // port of the TLS listener; 0 = none
    std::string sTlsCert;           // PEM certificate chain of the TLS listener
    std::string sTlsKey;            // PEM private key of the TLS listener
    std::string sTlsClientCa;       // PEM authorities a desk's certificate must chain to; empty = none asked
    std::string sAccessCode;        // what the handshake's token step must carry after "MyAppToken: "
  } MyClientPort;

  // [AMI] keys of the exchange link over TLS.
  struct TExchangeTlsConfig {
    bool bEnabled = false;  // speak TLS to the exchange
    std::string sCaFile;    // PEM file of trusted authorities; empty = the system's trust store
    bool bVerify = true;    // check the exchange's certificate chain and name
  } MyExchangeTls;
  TQueueBudgetConfig MyQueueBudget;  // bound of the rings' memory
  std::string sPacing;               // [GENERAL] PACING as read
  TPacing_OPT tPacing = PACING_PASS; // pacing in force; read by every stage when it starts
};

// A capture list. lstMainLog is appended by every logging thread, so every list carries a lock;
// the other nine are touched by the control thread only and take it uncontended.
struct TAuditList {
  TMutex crsList;                                      // guards vLines
  std::vector<std::string> vLines GUARDED_BY(crsList);  // captured texts in arrival order
  void Add(const std::string& sText);
  std::vector<std::string> Snapshot();
};

struct TAuditEvents {
  std::atomic<bool> bEnabled{false};  // a capture is running; read by every producer
  int32_t nDurationSeconds = 0;       // length of the running capture; control thread
  // Created by TValidate's constructor, released by its destructor; control thread. lstMainLog
  // is published atomically because WriteLog reads it from any thread.
  TAuditList* lstAudit = nullptr;
  std::atomic<TAuditList*> lstMainLog{nullptr};
  TAuditList* lstReadReceived = nullptr;
  TAuditList* lstReadProcessed = nullptr;
  TAuditList* lstGlobalQueue = nullptr;
  TAuditList* lstSpecificQueue = nullptr;
  TAuditList* lstGlobalPeer = nullptr;
  TAuditList* lstSpecificPeer = nullptr;
  TAuditList* lstGlobalFeaturePark = nullptr;
  TAuditList* lstSpecificFeaturePark = nullptr;
};

struct TMainTimerControl {
  int32_t nReconnectTicks = 0;  // 5 s ticks while a reconnection is pending; control thread
  int32_t nAuditTicks = 0;      // 5 s ticks while a capture runs; control thread
};

extern TAppInfo& MyAppInfo;
extern TConfigInfo& MyConfigInfo;
extern TAuditEvents& MyAuditEvents;
extern TMainTimerControl& MyMainTimerControl;

// Index of nKey in the range of nCount numbers from nFirst; -1 outside. Worked in 64 bits, so no
// key and no first number, however wild, can wrap into the range.
inline int32_t KeyIndex(int32_t nKey, int32_t nFirst, int32_t nCount) {
  const int64_t nIndex = int64_t{nKey} - nFirst;
  return nIndex >= 0 && nIndex < nCount ? static_cast<int32_t>(nIndex) : -1;
}

// Puts the shared state into its start values (start-up step 4).
void InitializeSharedState();
