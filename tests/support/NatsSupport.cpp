#include "support/NatsSupport.h"

#include <signal.h>

#include <cstdlib>
#include <sstream>

namespace testsupport {

namespace {

// nats-server from the Debian package (/usr/sbin), or the first one on PATH.
std::string NatsServerBinary() {
  if (FileExists("/usr/sbin/nats-server")) return "/usr/sbin/nats-server";
  std::istringstream tPath(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
  for (std::string sDir; std::getline(tPath, sDir, ':');)
    if (FileExists(sDir + "/nats-server")) return sDir + "/nats-server";
  return "nats-server";
}

std::string Header(natsMsg* pMsg, const char* sName) {
  const char* sValue = nullptr;
  return natsMsgHeader_Get(pMsg, sName, &sValue) == NATS_OK && sValue != nullptr ? sValue : "";
}

}  // namespace

bool TNatsServer::Start(int nNewPort, bool bJetStream, const std::vector<std::string>& vMoreArgs) {
  if (nPort == 0) nPort = nNewPort != 0 ? nNewPort : FreePort();
  std::vector<std::string> vArgs = {NatsServerBinary(), "-a", "127.0.0.1", "-p", std::to_string(nPort)};
  if (bJetStream) vArgs.insert(vArgs.end(), {"-js", "-sd", dirStore.Path()});
  vArgs.insert(vArgs.end(), vMoreArgs.begin(), vMoreArgs.end());
  process = std::make_unique<TProcess>();
  if (!process->Start(vArgs)) return false;
  return PollUntil([&] { return process->Stderr().find("Server is ready") != std::string::npos || !process->Running(); }) &&
         process->Running();
}

void TNatsServer::Kill() {
  if (!process) return;
  process->Signal(SIGKILL);
  process->WaitExit();
  process.reset();
}

TNatsCollector::~TNatsCollector() {
  if (pSub != nullptr) natsSubscription_Destroy(pSub);
  if (pConn != nullptr) {
    natsConnection_Close(pConn);
    natsConnection_Destroy(pConn);
  }
}

bool TNatsCollector::Start(const std::string& sUrl, const std::string& sSubject) {
  natsOptions* pOptions = nullptr;
  if (natsOptions_Create(&pOptions) != NATS_OK) return false;
  natsOptions_SetURL(pOptions, sUrl.c_str());
  natsOptions_SetMaxReconnect(pOptions, -1);
  natsOptions_SetReconnectWait(pOptions, 200);
  const bool bOk = natsConnection_Connect(&pConn, pOptions) == NATS_OK &&
                   natsConnection_Subscribe(&pSub, pConn, sSubject.c_str(), OnMessage, this) == NATS_OK &&
                   natsSubscription_SetPendingLimits(pSub, -1, -1) == NATS_OK && Ready();
  natsOptions_Destroy(pOptions);
  return bOk;
}

bool TNatsCollector::Ready() {
  return pConn != nullptr && natsConnection_Status(pConn) == NATS_CONN_STATUS_CONNECTED &&
         natsConnection_FlushTimeout(pConn, 5000) == NATS_OK;
}

void TNatsCollector::OnMessage(natsConnection*, natsSubscription*, natsMsg* pMsg, void* pClosure) {
  auto* pSelf = static_cast<TNatsCollector*>(pClosure);
  TNatsMessage tMessage{natsMsg_GetSubject(pMsg),
                        std::string(natsMsg_GetData(pMsg), static_cast<size_t>(natsMsg_GetDataLength(pMsg))),
                        Header(pMsg, "Telvane-Family"), Header(pMsg, "Telvane-Key"), Header(pMsg, "Telvane-Seq"),
                        Header(pMsg, "Telvane-Family-Seq")};
  natsMsg_Destroy(pMsg);
  std::lock_guard<std::mutex> tLock(pSelf->crsMessages);
  pSelf->vMessages.push_back(std::move(tMessage));
}

std::vector<TNatsMessage> TNatsCollector::Messages() {
  std::lock_guard<std::mutex> tLock(crsMessages);
  return vMessages;
}

bool TNatsCollector::WaitForCount(size_t nCount, std::chrono::milliseconds tTimeout) {
  return PollUntil([&] { return Messages().size() >= nCount; }, tTimeout);
}

}  // namespace testsupport
