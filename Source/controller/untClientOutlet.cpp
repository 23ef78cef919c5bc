#include "controller/untClientOutlet.h"

#include "controller/untDeskService.h"
#include "controller/untValidate.h"
#include "platform/untControlLoop.h"

namespace {

TDeskService* pFanOutDesks = nullptr;  // where the batches go; control thread

class TClientFanOutlet : public TEventOutlet {
 public:
  // Per-key stage threads; block until the control thread has queued the writes. When the loop
  // is closed, the controller is gone or no desk service is attached, nothing is written.
  void Deliver(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame) override {
    DeliverBatch(TEventBatch::One(tFamily, nKey, sFrame));
  }

  void DeliverBatch(const TEventBatch& tBatch) override {
    TControlLoop::Instance().Synchronize([&] {
      if (MyValidate != nullptr && pFanOutDesks != nullptr) pFanOutDesks->SocketServerWriteBatch(tBatch);
    });
  }
};

}  // namespace

void AttachClientFanOut(TDeskService* pDesks) { pFanOutDesks = pDesks; }

TEventOutlet& ClientFanOutlet() {
  static TClientFanOutlet tOutlet;  // lives to process end; no state
  return tOutlet;
}
