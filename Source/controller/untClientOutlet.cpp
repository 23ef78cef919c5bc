#include "controller/untClientOutlet.h"

#include "controller/untDeskService.h"
#include "controller/untValidate.h"
#include "platform/untControlLoop.h"

namespace {

class TClientFanOutlet : public TEventOutlet {
 public:
  // Per-key stage threads; block until the control thread has queued the writes. When the loop
  // is closed, the controller is gone or it has no desk service attached, nothing is written.
  void Deliver(TEventFamily_OPT tFamily, int32_t nKey, const std::string& sFrame) override {
    DeliverBatch(TEventBatch::One(tFamily, nKey, sFrame));
  }

  void DeliverBatch(const TEventBatch& tBatch) override {
    TControlLoop::Instance().Synchronize([&] {
      TDeskService* pDesks = MyValidate != nullptr ? MyValidate->DeskService() : nullptr;
      if (pDesks != nullptr) pDesks->SocketServerWriteBatch(tBatch);
    });
  }
};

}  // namespace

TEventOutlet& ClientFanOutlet() {
  static TClientFanOutlet tOutlet;  // lives to process end; no state
  return tOutlet;
}
