#include "support/EndToEnd.h"

#include <sstream>

namespace testsupport {

std::string Event(const std::string& sName, const std::string& sFile, const std::string& sFields, int nId) {
  std::ostringstream s;
  s << "Event: " << sName << "\r\nPrivilege: call,all\r\nFile: " << sFile << "\r\nLine: 100\r\nFunc: test\r\n"
    << sFields << "Uniqueid: 1700000000." << nId << "\r\n\r\n";
  return s.str();
}

std::string QueueEvent(const std::string& sName, int nQueue, int nId, const std::string& sExtra) {
  return Event(sName, "app_queue.c", "Queue: " + std::to_string(nQueue) + "\r\n" + sExtra, nId);
}

std::string QueueEvent(int nQueue, int nId) { return QueueEvent("Join", nQueue, nId); }

std::string ChannelEvent(const std::string& sName, const std::string& sChannel, const std::string& sExtra, int nId) {
  return Event(sName, "channel.c", "Channel: SIP/" + sChannel + "\r\n" + sExtra, nId);
}

std::string ParkEvent(int nSlot, int nId) {
  return Event("ParkedCall", "features.c", "Exten: " + std::to_string(nSlot) + "\r\n", nId);
}

std::string Frame(const std::string& sEvent) { return sEvent.substr(0, sEvent.size() - 2) + "\r\n\r\n"; }

std::vector<std::string> Frames(const std::string& sReceived) {
  std::vector<std::string> vFrames;
  size_t nStart = 0;
  for (size_t nEnd; (nEnd = sReceived.find("\r\n\r\n\r\n", nStart)) != std::string::npos; nStart = nEnd + 6)
    vFrames.push_back(sReceived.substr(nStart, nEnd + 6 - nStart));
  return vFrames;
}

bool TEndToEnd::Start(const TConfig& fnConfig, const std::vector<std::string>& vSimArgs) {
  if (!sim.Start(vSimArgs)) return false;
  nProxyPort = FreePort();
  return nProxyPort != 0 && relay.WriteConfig(fnConfig(sim.Port(), nProxyPort)) && relay.Start() &&
         relay.WaitForLog("Cliente conectado e recebendo eventos do servidor AMI (");
}

std::unique_ptr<TTcpClient> TEndToEnd::Desk(const std::string& sQueues, const std::string& sPeers,
                                            const std::string& sParks, const std::string& sAppId) {
  auto client = std::make_unique<TTcpClient>();
  if (!client->Connect(nProxyPort) || !Handshake(*client, sAppId, sQueues, sPeers, sParks)) return nullptr;
  return client;
}

void TEndToEnd::Send(const std::string& sEvents) {
  const std::string sPath = dir.Path() + "/events" + std::to_string(++nFiles) + ".txt";
  WriteFile(sPath, sEvents);
  sim.Process().WriteStdin("send " + sPath + "\n");
}

bool TEndToEnd::WaitFrames(TTcpClient& client, size_t nCount, std::chrono::milliseconds tTimeout) {
  return PollUntil([&] {
    client.ReadFor(std::chrono::milliseconds(20));
    return Frames(client.Received()).size() >= nCount;
  }, tTimeout);
}

}  // namespace testsupport
