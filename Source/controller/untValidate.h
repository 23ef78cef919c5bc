// TValidate, the controller: the relay's operations over the process-wide records.
//
// It holds no state of its own besides the exchange link and the desk service it is registered
// with; one instance (MyValidate) exists from start-up until the console's shut-down (in service
// mode until the process ends). Its operations are grouped by concern, one file each:
//   untValidateConfig.cpp  constructor (configuration), destructor, folders
//   untValidateDisplay.cpp panes and status bars, the stages' display  (control thread)
//   untValidateAudit.cpp   audit capture                                (control thread)
//   untValidateClient.cpp  the exchange connection                       (control thread)
//   untValidateServer.cpp  the client table, handshake, fan-out, listener: each handed on to the
//                          desk service (untDeskService.h), which owns them   (control thread);
//                          and the client protocol's text routines (untValidateServer.h)
//   untValidatePeer.cpp    the extension table's reset, handed to pipeline/untPeerRules
//                                                                             (control thread)
// Every operation catches its own errors, logs the system's error line and returns its failure
// value; nothing propagates to the event loop.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/untVariables.h"
#include "controller/untExchangeLink.h"
#include "logging/untDisplaySink.h"
#include "pipeline/untStageDisplay.h"

struct TEventBatch;

class TDeskService;
class TServerConnection;

class TValidate : public TStageDisplay, public TExchangeLinkEvents {
 public:
  // ---- Configuration (start-up, main thread) ----
  TValidate();   // creates the capture lists, reads and checks Lib/Config.ini, is the stages' display
  ~TValidate() override;  // stops being the stages' display, releases the capture lists, leaves the link
  static std::string GetLogDirectory();    // <exe folder>Log, no trailing separator
  static std::string GetAuditDirectory();  // the same folder
  static std::string GetConfigFilePath();       // <exe folder>Lib/Config.ini
  static std::string GetLocalConfigFilePath();  // <exe folder>Lib/Config.local.ini: the site's own, read over it

  // ---- Configuration reading: the constructor's and the configuration check's one path ----
  enum TConfigRead_OPT {
    CONFIG_READ_OK,              // read and corrected; the server address is set
    CONFIG_READ_NOT_CONFIGURED,  // read, but the server address is empty (the checks stopped there)
    CONFIG_READ_FAILED,          // the file exists but cannot be read, or the reading failed
  };
  // Where the lines of a reading go instead of the log: the level and the text as logged.
  using TConfigLineSink = void (*)(int nLevel, const std::string& sText);
  // Reads Lib/Config.ini into MyConfigInfo, forces the service's auto-start and corrects what is
  // out of range, logging each line (or handing it to fnLine when not null). Never raises; psError
  // gets the reason of a failure. Main thread, before any worker reads MyConfigInfo.
  static TConfigRead_OPT ReadConfiguration(TConfigLineSink fnLine, std::string* psError = nullptr);
  // Every key with the value in force, one "[SECTION] KEY=value" each; user name and secret masked.
  static std::vector<std::string> ConfigValuesInForce();
  // What the last reading corrected and what it did not know (keys and sections).
  struct TConfigFindings {
    int32_t nCorrected = 0;
    int32_t nUnknown = 0;
  };
  static TConfigFindings ConfigFindings();
  // Every (section, key) the last reading looked up, upper-cased, in the order asked; a key ""
  // stands for a section of free names ([QUEUENAMES]). What the relay reads, said by the reader.
  static std::vector<std::pair<std::string, std::string>> ConfigKeysRead();

  // ---- Panes and status bars (control thread; nothing without a registered console) ----
  void PrintMainAudit(const std::string& sMessage);
  // A stage pane (one of the eight traffic panes): shown while its switch is on, captured while an
  // audit runs. The keyed form frames the event with its key, as the per-key panes show it.
  void PrintStageLog(TPaneId tPane, const std::string& sMessage) override;
  void PrintStageKeyLog(TPaneId tPane, int32_t nKey, const std::string& sEvent) override;
  // A stage's status bar: positions and difference; the per-key bars also the busiest key.
  void PrintStatusBarGlobal(TStatusBarId tBar, int32_t nWP, int32_t nRP) override;
  void PrintStatusBarSpecific(TStatusBarId tBar, int32_t nWP, int32_t nRP, int32_t nDiff, int32_t nKey) override;
  // The raw ring's two panes and its status bar; clearing every pane at once.
  void PrintGeneralLogReceived(const std::string& sMessage);
  void PrintGeneralLogProcessed(const std::string& sMessage) override;
  void ClearAllLogs();
  void PrintStatusBarMain(int32_t nWP, int32_t nRP, bool bOnlyErr, int32_t nErr) override;

  // ---- Audit capture (control thread) ----
  void AuditStart(int32_t nDurationMinutes);
  void AuditStop();

  // ---- Exchange connection (control thread) ----
  // Registers the controller with the link that owns the exchange connection (null: none). Called
  // once by the manager object at creation and at its end; the destructor unregisters.
  void AttachExchangeLink(TExchangeLink* pLink);
  // The link's start, stop and read, under the names the log shows.
  bool StartSocketClient(const std::string& sHost, int32_t nPort);
  bool StopSocketClient(int32_t nSocketClient, bool bDoNotAutoReconnect);
  bool SocketClientRead(const std::string& sReceivedText, int32_t nSocketClient);
  // What the link hands up.
  void ExchangeText(const std::string& sText) override;
  void ExchangeReset() override;
  void ExchangeStopped() override;

  // ---- Client service (control thread) ----
  // The slot table's operations under the names they are known by, handed on to the attached desk
  // service (untDeskSlots.cpp); without one each logs its error line and fails.
  // pConnection: the session that takes the slot (null where there is none, as in table tests).
  bool InsertClientInfo(const std::string& sAddress, int32_t nPort, TServerConnection* pConnection = nullptr);
  bool DeleteClientInfo(const std::string& sAddress, int32_t nPort);
  bool UpdateClientInfo(int32_t nSocketInfoArrayPos, const std::string& sAppInfo, const std::string& sToken,
                        const std::string& sQueueList, const std::string& sPeerList,
                        const std::string& sFeatureParkList);
  bool ChangeQueueClientInfo(int32_t nSocketInfoArrayPos, const std::string& sQueueList);
  bool ChangePeerClientInfo(int32_t nSocketInfoArrayPos, const std::string& sPeerList);
  bool ChangeFeatureParkClientInfo(int32_t nSocketInfoArrayPos, const std::string& sFeatureParkList);
  // Registers the desk service that owns the listener, the slots, the handshake and the fan-out
  // (null: none); the operations above and the four below hand on to it, and the client outlet
  // hands it its batches. Called once by the manager object at creation and at its end.
  void AttachDeskService(TDeskService* pDesks);
  TDeskService* DeskService() const { return pDeskService; }  // null: none attached
  bool SocketServerRead(const std::string& sReceivedText, int32_t nSocketServerClientPos,
                        int32_t nSocketInfoArrayPos, const std::string& sRemoteAddress, int32_t nRemotePort);
  // Each running client subscribed to some of the batch's keys gets those frames, in batch order,
  // in one write; frames shared by many clients are not copied for each.
  bool SocketServerWriteBatch(const TEventBatch& tBatch);
  bool StartSocketServer(int32_t nPort);
  bool StopSocketServer();

  // ---- Extension states (control thread; the stage runs the rules in pipeline/untPeerRules) ----
  // Every entry to PEER_STATE_UNKNOWN with a count of 0, under the table's lock.
  static void ResetPeerTable();

 private:
  TExchangeLink& ExchangeLink() const;  // raises when none is attached

  TExchangeLink* pExchangeLink = nullptr;  // the exchange link, owned by the manager object; control thread
  TDeskService* pDeskService = nullptr;    // the desk service, owned by the manager object; control thread
};

// The one controller; null before start-up step 6 and after the console's shut-down.
// Control thread (and start-up) only.
extern TValidate* MyValidate;
