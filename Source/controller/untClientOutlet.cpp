#include "controller/untClientOutlet.h"

#include "controller/untValidate.h"
#include "platform/untControlLoop.h"

namespace {

class TClientFanOutlet : public TEventOutlet {
 public:
  // Per-key stage threads; blocks until the control thread has queued the writes. When the loop
  // is closed or the controller is gone, nothing is written.
  void Deliver(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame) override {
    TControlLoop::Instance().Synchronize([&] {
      TValidate* pValidate = MyValidate;
      if (pValidate == nullptr) return;
      switch (tFamily) {
        case EVENT_FAMILY_QUEUE: pValidate->SocketServerQueueWrite(nKey, sFrame); break;
        case EVENT_FAMILY_PEER: pValidate->SocketServerPeerWrite(nKey, sFrame); break;
        case EVENT_FAMILY_FEATUREPARK: pValidate->SocketServerFeatureParkWrite(nKey, sFrame); break;
        default: break;
      }
    });
  }
};

}  // namespace

TEventOutlet& ClientFanOutlet() {
  static TClientFanOutlet tOutlet;  // lives to process end; no state
  return tOutlet;
}
