// The console's notice dialog, ShowAppMessage's presenter while the console runs.
//
// Modal for the operator, not for the relay: ShowNotice waits for the answer in nested turns of
// the control loop (ServeControlLoopFor), so sockets, timers, hand-overs and input go on being
// served. The input that answers the dialog arrives through those same turns. A notice asked for
// while one is open is queued and shown after it (see the header for the bound); a nested dialog
// would stack up one nested loop per notice for as long as the operator is away.
//
// Thread: the presenter may be called on any thread; it hands the notice to the control thread and
// waits there for the answer. pActiveConsole is read and written on the control thread only.
#include <algorithm>

#include "base/untIniFiles.h"
#include "hosting/untConsole.h"
#include "platform/untControlLoop.h"

namespace {

TConsole* pActiveConsole = nullptr;  // the console showing notices; control thread only

std::vector<int> ButtonsOf(int nType) {
  switch (nType) {
    case 2: return {ID_YES, ID_NO, ID_CANCEL};
    case 3: return {ID_YES, ID_NO};
    case 4: return {ID_OK, ID_CANCEL};
    default: return {ID_OK};  // 0 information, 1 error
  }
}

std::string ButtonCaption(int nCode) {
  switch (nCode) {
    case ID_YES: return "Yes";
    case ID_NO: return "No";
    case ID_CANCEL: return "Cancel";
    default: return "OK";
  }
}

// The text's lines (CR LF, CR and LF each break one) wrapped at nWidth.
std::vector<std::string> WrapText(const std::string& sText, int32_t nWidth) {
  std::vector<std::string> vOut;
  const auto nCut = static_cast<size_t>(std::max(nWidth, 1));
  size_t nStart = 0;
  for (size_t n = 0; n <= sText.size(); ++n) {
    if (n < sText.size() && sText[n] != '\r' && sText[n] != '\n') continue;
    const std::string sLine = sText.substr(nStart, n - nStart);
    if (sLine.empty()) vOut.emplace_back();
    for (size_t k = 0; k < sLine.size(); k += nCut) vOut.push_back(sLine.substr(k, nCut));
    if (n + 1 < sText.size() && sText[n] == '\r' && sText[n + 1] == '\n') ++n;
    nStart = n + 1;
  }
  return vOut;
}

}  // namespace

void TConsole::InstallNoticePresenter(TConsole* pConsole) {
  pActiveConsole = pConsole;
  if (pConsole == nullptr) {
    SetNoticePresenter(nullptr);
    return;
  }
  SetNoticePresenter([](int nType, const std::string& sCaption, const std::string& sText) {
    int nCode = 0;
    // On the control thread this runs at once; a worker waits here for the operator's answer, and
    // is released with 0 if the loop closes first.
    TControlLoop::Instance().Synchronize([&] {
      if (pActiveConsole != nullptr) nCode = pActiveConsole->ShowNotice(nType, sCaption, sText);
    });
    return nCode;
  });
}

int TConsole::ShowNotice(int nType, const std::string& sCaption, const std::string& sText) {
  if (!term.IsOpen()) return 0;
  if (pDialog) {
    if (vPending.size() < MAX_PENDING_NOTICES) vPending.push_back({nType, sCaption, sText});
    return 0;
  }
  pDialog = std::make_unique<TDialog>();
  pDialog->tNotice = {nType, sCaption, sText};
  pDialog->vCodes = ButtonsOf(nType);
  bEditingMinutes = false;
  Paint();
  // Until the operator answers, the relay goes on in nested turns of the loop; a stopped loop (the
  // console closing meanwhile) ends the wait with 0.
  while (pDialog->nResult < 0 && term.IsOpen()) {
    if (HandleNextInput()) continue;  // typed together with the key that opened the dialog
    if (!ServeControlLoopFor(100)) break;
  }
  const int nCode = std::max(pDialog->nResult, 0);
  pDialog.reset();
  Paint();
  if (!vPending.empty()) {
    std::weak_ptr<bool> wAlive = pAlive;
    TControlLoop::Instance().Post([this, wAlive] {
      auto pLive = wAlive.lock();
      if (pLive && *pLive) ShowNextPending();
    });
  }
  return nCode;
}

void TConsole::ShowNextPending() {
  if (pDialog || vPending.empty()) return;
  const TNotice tNext = vPending.front();
  vPending.pop_front();
  ShowNotice(tNext.nType, tNext.sCaption, tNext.sText);  // nobody waits for this answer
}

TConsole::TDialogGeometry TConsole::DialogGeometry() const {
  TDialogGeometry g;
  const TNotice& n = pDialog->tNotice;
  const int32_t nCols = std::max(tLayout.nCols, CONSOLE_MIN_COLS), nRows = std::max(tLayout.nRows, CONSOLE_MIN_ROWS);
  int32_t nButtons = 0;
  for (int nCode : pDialog->vCodes) nButtons += static_cast<int32_t>(ButtonCaption(nCode).size()) + 6;
  int32_t nLongest = 0;
  for (const std::string& s : WrapText(n.sText, nCols)) nLongest = std::max(nLongest, static_cast<int32_t>(s.size()));
  const int32_t nInner = std::clamp(std::max({nLongest, nButtons, static_cast<int32_t>(n.sCaption.size()) + 2, 30}),
                                    10, nCols - 8);
  g.vLines = WrapText(n.sText, nInner);
  g.vLines.resize(std::min(g.vLines.size(), static_cast<size_t>(nRows - 8)));
  const auto nHeight = static_cast<int32_t>(g.vLines.size()) + 5;  // border, text, blank, buttons, border
  g.rBox = TCellRect{(nRows - nHeight) / 2, (nCols - nInner - 4) / 2, nHeight, nInner + 4};
  int32_t nCol = g.rBox.nCol + (g.rBox.nWidth - nButtons + 2) / 2;
  for (int nCode : pDialog->vCodes) {
    const auto nWidth = static_cast<int32_t>(ButtonCaption(nCode).size()) + 4;  // "[ OK ]"
    g.vButtons.push_back(TCellRect{g.rBox.Bottom() - 1, nCol, 1, nWidth});
    nCol += nWidth + 2;
  }
  return g;
}

void TConsole::DrawDialog() {
  const TDialogGeometry g = DialogGeometry();
  const TCellRect& b = g.rBox;
  for (int32_t r = b.nRow; r <= b.Bottom(); ++r) term.Fill(r, b.nCol, b.nWidth, TERM_STYLE_DIALOG);
  term.Frame(b.nRow, b.nCol, b.nHeight, b.nWidth, TERM_STYLE_DIALOG);
  const std::string sCaption = " " + pDialog->tNotice.sCaption + " ";
  Text(b.nRow, b.nCol + (b.nWidth - static_cast<int32_t>(sCaption.size())) / 2, sCaption, b.nWidth - 2,
       TERM_STYLE_DIALOG);
  for (size_t n = 0; n < g.vLines.size(); ++n)
    Text(b.nRow + 1 + static_cast<int32_t>(n), b.nCol + 2, g.vLines[n], b.nWidth - 4, TERM_STYLE_DIALOG);
  for (size_t n = 0; n < g.vButtons.size(); ++n) {
    const TCellRect& r = g.vButtons[n];
    const TTermStyle tStyle = static_cast<int>(n) == pDialog->nSelected ? TERM_STYLE_DIALOG_SELECTED : TERM_STYLE_DIALOG;
    Text(r.nRow, r.nCol, "[ " + ButtonCaption(pDialog->vCodes[n]) + " ]", r.nWidth, tStyle);
  }
}

void TConsole::DialogKey(int32_t nKey) {
  TDialog& d = *pDialog;
  const auto nCount = static_cast<int>(d.vCodes.size());
  const auto Has = [&d](int nCode) { return std::find(d.vCodes.begin(), d.vCodes.end(), nCode) != d.vCodes.end(); };
  switch (nKey) {
    case TERM_KEY_LEFT: case TERM_KEY_BACKTAB: d.nSelected = (d.nSelected + nCount - 1) % nCount; return;
    case TERM_KEY_RIGHT: case TERM_KEY_TAB: d.nSelected = (d.nSelected + 1) % nCount; return;
    case TERM_KEY_ENTER: case ' ': d.nResult = d.vCodes[static_cast<size_t>(d.nSelected)]; return;
    case TERM_KEY_ESCAPE:
      // Escape cancels where there is a Cancel, answers No to a Yes/No question, and closes a
      // notice that has only OK.
      if (Has(ID_CANCEL)) d.nResult = ID_CANCEL;
      else if (Has(ID_NO)) d.nResult = ID_NO;
      else if (nCount == 1) d.nResult = d.vCodes[0];
      return;
    default: break;
  }
  // The first letter of a button presses it: o, y, n, c.
  for (int nCode : d.vCodes) {
    const char cKey = static_cast<char>(ButtonCaption(nCode)[0] - 'A' + 'a');
    if (nKey == cKey || nKey == cKey - 'a' + 'A') d.nResult = nCode;
  }
}

void TConsole::DialogClick(int32_t nRow, int32_t nCol) {
  const TDialogGeometry g = DialogGeometry();
  for (size_t n = 0; n < g.vButtons.size(); ++n)
    if (g.vButtons[n].Contains(nRow, nCol)) pDialog->nResult = pDialog->vCodes[n];
}
