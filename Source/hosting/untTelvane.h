// TfrmTelvane, the manager object: owns the exchange link (its socket, login, keep-alive and
// reconnection), the desk service (the listener and its connections) and the main timer, wires the
// link to the controller once, performs the automatic start, and holds the console's model. No
// socket event passes through it.
//
// It exists in both modes. In window mode it is registered as frmTelvane (the console draws its
// model) and as the display sink, through which the log call and the controller reach the model;
// in service mode it is never registered, so every output to panes, status bars and buttons is
// skipped. Everything here runs on the control thread. Handlers are grouped by file:
//   untTelvane.cpp         creation, shut-down, start/stop actions, main timer
//   untTelvaneConsole.cpp  check boxes, clear buttons, tabs, the audit on tmrMain, FormResize
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>

#include "controller/untDeskService.h"
#include "controller/untExchangeLink.h"
#include "hosting/untDisplayModel.h"
#include "hosting/untMetricsServer.h"
#include "hosting/untWebServer.h"
#include "logging/untDisplaySink.h"
#include "platform/untTimer.h"

class TfrmTelvane : public TDisplaySink {
 public:
  // bWindowMode: shown as the console and registered as frmTelvane before FormCreate runs.
  explicit TfrmTelvane(bool bWindowMode);
  ~TfrmTelvane() override;
  TfrmTelvane(const TfrmTelvane&) = delete;
  TfrmTelvane& operator=(const TfrmTelvane&) = delete;

  // ---- Lifecycle ----
  void FormCreate();
  void FormCloseQuery();  // the shut-down; never vetoes
  void FormClose();       // termination request
  void FormResize();
  void Execute();         // called by the service host; does nothing

  // ---- Start and stop actions ----
  void cmdStartProxyClick();
  void cmdStopProxyClick();
  void cmdStartClientClick();
  void cmdStopClientClick();
  void cmdStartServerClick();
  void cmdStopServerClick();
  // "Start Proxy" re-opens whatever runs (the listener drops every client without the stop
  // notice): while both sides run there is nothing for it to start, so it is off.
  void ShowStartProxy();

  // ---- Console controls ----
  void cmdClearAllLogsClick();
  void cmdPaneClearClick(TPaneId tPane);       // the eleven "Clear" buttons
  void chkPaneEnabledClick(TControlId tCheck);  // the eight "Enabled" check boxes, after the toggle
  void chkMainAuditClick();                     // after the toggle of chkMainAudit
  void tabShow(int nTab);                       // first showing of tab page nTab (0..4) runs the layout

  // ---- Timers ----
  void tmrMainTimer();
  void tmrMainTimerAudit();  // the audit; the link keeps its own reconnection timer

  // ---- The display sink (window mode; control thread): the model, and notices as dialogs ----
  void AppendPane(TPaneId tPane, const std::string& sText) override { MyDisplay.AppendPane(tPane, sText); }
  void ClearPane(TPaneId tPane) override { MyDisplay.ClearPane(tPane); }
  void SetStatus(TStatusBarId tBar, int nPanel, const std::string& sText) override {
    MyDisplay.SetStatus(tBar, nPanel, sText);
  }
  void SetEnabled(TControlId tControl, bool bEnabled) override { MyDisplay.SetEnabled(tControl, bEnabled); }
  void SetChecked(TControlId tControl, bool bChecked) override { MyDisplay.SetChecked(tControl, bChecked); }
  void SetBusy(bool bBusy) override { MyDisplay.SetBusy(bBusy); }

  // ---- Owned state (control thread) ----
  const bool bWindowMode;      // constant
  TExchangeLink MyExchangeLink;  // the exchange connection with its keep-alive and reconnection timers
  TDeskService MyDeskService;    // the desk listener with its connections
  TTimer tmrMain;              // every 5000 ms
  TDisplayModel MyDisplay;     // what the console draws
  std::array<bool, 5> vTabShown{};  // tab pages already laid out once (their Tag)
  std::unique_ptr<TMetricsServer> pMetrics;  // the metrics endpoint, when [METRICS] PORT is set
  std::unique_ptr<TWebServer> pWeb;          // web desks and the wallboard, when [WEB] PORT is set
};

// The registered console window; null in service mode and before window-mode creation.
// Read from any thread (WriteLog), written by the control thread.
extern std::atomic<TfrmTelvane*> frmTelvane;
