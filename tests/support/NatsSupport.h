// Helpers for tests against a real NATS server: a nats-server child on a free loopback port with
// JetStream storing in a folder of its own (killed and started again on the same port and folder,
// as a restart), and a subscriber that collects every message with its headers.
// Tests wait for conditions with generous deadlines, never for fixed sleeps.
#pragma once

#include <nats/nats.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace testsupport {

class TNatsServer {
 public:
  // Starts nats-server on nPort (0: a free port chosen now), with JetStream unless told not to and
  // with vMoreArgs (such as its TLS options), and waits until it accepts clients. Called again
  // after Kill(), it restarts on the same port and store.
  bool Start(int nPort = 0, bool bJetStream = true, const std::vector<std::string>& vMoreArgs = {});
  void Kill();  // SIGKILL, and waits for the exit
  int Port() const { return nPort; }
  std::string Url() const { return "nats://127.0.0.1:" + std::to_string(nPort); }

 private:
  TTempDir dirStore;                  // JetStream's files; outlives restarts
  std::unique_ptr<TProcess> process;  // the running server, if any
  int nPort = 0;
};

// One message as a consumer sees it.
struct TNatsMessage {
  std::string sSubject;  // where it was published
  std::string sData;     // the payload: one frame
  std::string sFamily;   // header Telvane-Family
  std::string sKey;      // header Telvane-Key
  std::string sSeq;      // header Telvane-Seq
  std::string sFamilySeq;  // header Telvane-Family-Seq
};

// A subscriber on one subject (wildcards allowed) that keeps every message in arrival order. It
// reconnects by itself after a server restart and subscribes again.
class TNatsCollector {
 public:
  ~TNatsCollector();
  // Connects, subscribes and waits until the server has the subscription.
  bool Start(const std::string& sUrl, const std::string& sSubject);
  // True while connected and the server answers a ping: the subscription is in place.
  bool Ready();
  std::vector<TNatsMessage> Messages();
  bool WaitForCount(size_t nCount, std::chrono::milliseconds tTimeout = kDeadline);

 private:
  static void OnMessage(natsConnection*, natsSubscription*, natsMsg* pMsg, void* pClosure);
  natsConnection* pConn = nullptr;
  natsSubscription* pSub = nullptr;
  std::mutex crsMessages;               // guards vMessages
  std::vector<TNatsMessage> vMessages;  // in arrival order
};

}  // namespace testsupport
