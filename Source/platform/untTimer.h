// Periodic timer whose ticks arrive on the control thread (a thin layer over asio::steady_timer).
//
// Control thread only: create, configure, enable and destroy it there. A tick that was already due
// when the timer is disabled or destroyed is swallowed, so OnTimer never runs on a dead owner.
#pragma once

#include <functional>
#include <memory>

class TTimer {
 public:
  TTimer();
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  void SetInterval(int nMilliseconds);  // takes effect at the next enable
  int Interval() const;
  void SetEnabled(bool bEnabled);       // enabling restarts the period from now
  bool Enabled() const;

  std::function<void()> OnTimer;  // the tick handler; control thread

 private:
  struct TImpl;
  std::shared_ptr<TImpl> pImpl;
};
