#include "platform/untTimer.h"

#include <asio.hpp>
#include <chrono>

#include "platform/untControlLoop.h"

struct TTimer::TImpl : std::enable_shared_from_this<TTimer::TImpl> {
  explicit TImpl(TTimer* pOwnerIn) : timer(TControlLoop::Instance().Context()), pOwner(pOwnerIn) {}
  asio::steady_timer timer;
  TTimer* pOwner;           // null once the owner is gone
  int nInterval = 1000;     // milliseconds
  bool bEnabled = false;
  uint64_t nGeneration = 0; // bumped by every (re)arm and disable, so stale ticks are dropped

  void Arm() {
    const uint64_t nMyGeneration = ++nGeneration;
    timer.expires_after(std::chrono::milliseconds(nInterval > 0 ? nInterval : 1));
    std::weak_ptr<TImpl> wSelf = shared_from_this();
    timer.async_wait([wSelf, nMyGeneration](const asio::error_code& ec) {
      auto self = wSelf.lock();
      if (!self || ec || !self->bEnabled || self->pOwner == nullptr || nMyGeneration != self->nGeneration)
        return;
      if (self->pOwner->OnTimer) self->pOwner->OnTimer();
      // The handler may have disabled, re-enabled or destroyed the timer; re-arm only if untouched.
      if (self->pOwner != nullptr && self->bEnabled && nMyGeneration == self->nGeneration) self->Arm();
    });
  }
};

TTimer::TTimer() : pImpl(std::make_shared<TImpl>(this)) {}

TTimer::~TTimer() {
  pImpl->pOwner = nullptr;
  pImpl->bEnabled = false;
  ++pImpl->nGeneration;
  pImpl->timer.cancel();
}

void TTimer::SetInterval(int nMilliseconds) { pImpl->nInterval = nMilliseconds; }
int TTimer::Interval() const { return pImpl->nInterval; }
bool TTimer::Enabled() const { return pImpl->bEnabled; }

void TTimer::SetEnabled(bool bEnabled) {
  if (bEnabled == pImpl->bEnabled) return;
  pImpl->bEnabled = bEnabled;
  if (bEnabled) {
    pImpl->Arm();
  } else {
    ++pImpl->nGeneration;
    pImpl->timer.cancel();
  }
}
