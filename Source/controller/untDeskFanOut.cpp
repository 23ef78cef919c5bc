// The desk service's fan-out: each batch of forwarded events goes to every RUNNING slot's client
// subscribed to some of its keys, as the frames of those keys in one write on the session the slot
// holds. Each client gets views of one shared copy of the batch when it takes a good share of it,
// else a copy of just its frames (see SHARE_DIVISOR).
//
// Threads: control thread only, in the client outlet's hand-over. SendShared never ends a
// connection by itself (the listener posts such ends), so the loop over the slots never sees the
// table or the connection list change under it. The log keeps the sources it always had
// ("TValidate.SocketServerQueueWrite", ...).
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/untVariables.h"
#include "controller/untDeskService.h"
#include "logging/untCounters.h"
#include "logging/untLogger.h"
#include "pipeline/untEventFamily.h"
#include "pipeline/untEventOutlet.h"
#include "platform/untServerSocket.h"

namespace {

void LogError(const char* sOperation, const std::string& sWhat) {
  LogOperationError("TValidate", sOperation, sWhat, LOG_TARGET_PROXY);
}

// A client that takes at least this share of a batch's bytes gets views of one copy of the batch
// shared by all such clients; one that takes less gets its frames copied into a buffer of its own,
// so a slow reader's queue never keeps alive much more memory than the bytes it holds (at most
// twice), however many large batches it takes a frame or two from.
constexpr size_t SHARE_DIVISOR = 2;

// "SocketServerQueueWrite", ...: the operation of a family's writes in the error lines.
std::string WriteOperation(const TEventFamily& family) {
  return std::string("SocketServer") + family.sDeskName + "Write";
}

// The frames of the batch that slot subscribed to, as runs of adjacent bytes (frames that follow
// one another in the buffer make one run). Returns the frame count; nBytes gets their bytes.
int32_t CollectRuns(const TEventBatch& tBatch, const std::vector<int32_t>& vIndex, std::span<const bool> vList,
                    std::vector<std::string_view>& vRuns, size_t& nBytes) {
  int32_t nFrames = 0;
  nBytes = 0;
  vRuns.clear();
  for (size_t n = 0; n < tBatch.vFrames.size(); ++n) {
    if (vIndex[n] < 0 || static_cast<size_t>(vIndex[n]) >= vList.size() || !vList[static_cast<size_t>(vIndex[n])]) continue;
    const std::string_view sFrame = tBatch.Frame(tBatch.vFrames[n]);
    if (!vRuns.empty() && vRuns.back().data() + vRuns.back().size() == sFrame.data())
      vRuns.back() = std::string_view(vRuns.back().data(), vRuns.back().size() + sFrame.size());
    else
      vRuns.push_back(sFrame);
    nBytes += sFrame.size();
    ++nFrames;
  }
  return nFrames;
}

// One write of the runs (views into tBatch.svBytes): views of the batch's shared copy, made by the
// first client that needs it, or a joined copy when the client takes little of the batch. Both are
// allocated here on the control thread, which frees them too.
int SendRuns(TServerConnection& connection, const TEventBatch& tBatch, std::shared_ptr<const std::string>& pShared,
             std::vector<std::string_view>& vRuns, size_t nBytes) {
  if (nBytes * SHARE_DIVISOR >= tBatch.svBytes.size()) {
    if (!pShared) pShared = std::make_shared<const std::string>(tBatch.svBytes);
    for (std::string_view& sRun : vRuns)
      sRun = std::string_view(pShared->data() + (sRun.data() - tBatch.svBytes.data()), sRun.size());
    return connection.SendShared(pShared, vRuns);
  }
  std::string sJoined;
  sJoined.reserve(nBytes);
  for (std::string_view sRun : vRuns) sJoined.append(sRun);
  auto pJoined = std::make_shared<const std::string>(std::move(sJoined));
  vRuns.assign(1, std::string_view(*pJoined));
  return connection.SendShared(pJoined, vRuns);
}

// Sends each RUNNING slot the frames of the batch it subscribed to, straight to the session the
// slot holds, in one write per slot; the slot's subscriptions of the family are its list.
bool WriteBatchToSubscribers(const TDeskService& desks, const TEventFamily& family, const TEventBatch& tBatch) {
  try {
    std::vector<int32_t> vIndex;
    vIndex.reserve(tBatch.vFrames.size());
    for (const TEventBatch::TFrame& tFrame : tBatch.vFrames) vIndex.push_back(family.IndexOf(tFrame.nKey));
    std::vector<std::string_view> vRuns;
    std::shared_ptr<const std::string> pShared;  // the batch's copy for the clients that share it
    for (int32_t i = 0; i < MAX_CLIENT_SLOTS; ++i) {
      const TServerSocketInfo& slot = MyAppInfo.MyServerSocketInfo[i];
      if (slot.tMainSocketServerStateMachine != MAIN_SOCKET_SERVER_STATE_MACHINE_RUNNING) continue;
      TServerConnection* pSession = desks.Session(i);
      if (pSession == nullptr) continue;
      size_t nBytes = 0;
      const int32_t nFrames = CollectRuns(tBatch, vIndex, family.DeskList(slot), vRuns, nBytes);
      if (nFrames == 0) continue;
      try {
        const int nTaken = SendRuns(*pSession, tBatch, pShared, vRuns, nBytes);
        CountUp(MyCounters.nFramesSent, static_cast<uint64_t>(nFrames));
        CountUp(MyCounters.nBytesSent, nTaken > 0 ? static_cast<uint64_t>(nTaken) : 0);
      } catch (const std::exception& e) {
        WriteErrorLog("TValidate." + WriteOperation(family), LOG_TARGET_PROXY, e.what(),
                      "socManagerServer.Socket.Connections");
      }
    }
    return true;
  } catch (const std::exception& e) {
    LogError(WriteOperation(family).c_str(), e.what());
    return false;
  }
}

}  // namespace

bool TDeskService::SocketServerWriteBatch(const TEventBatch& tBatch) {
  if (tBatch.tFamily < 0 || tBatch.tFamily >= EVENT_FAMILY_COUNT) return true;
  return WriteBatchToSubscribers(*this, Family(tBatch.tFamily), tBatch);
}
