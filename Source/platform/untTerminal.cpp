// ncurses under the console; see the header. One screen per process, owned by the control thread.
// The screen is made with newterm (which fails softly, unlike initscr), in raw mode so that Ctrl+C,
// Ctrl+Z and Ctrl+S arrive as keys: the console decides what they do, and a stray Ctrl+Z or Ctrl+S
// can never stop a running relay or its output.
#include "platform/untTerminal.h"

// Asio before curses: curses defines macros (timeout, erase, ...) that would break Asio's headers.
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/untControlLoop.h"
#include "platform/untTerminalStderr.h"

#define NCURSES_WIDECHAR 1
#include <curses.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The locale's character set decides how ncursesw writes wide characters. Without any locale in
// the environment (a bare ssh or cron environment), UTF-8 is the safe guess for a terminal today.
void ChooseCharacterSet() {
  std::setlocale(LC_CTYPE, "");
  if (std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) return;
  const bool bNoLocale = std::getenv("LC_ALL") == nullptr && std::getenv("LC_CTYPE") == nullptr &&
                         std::getenv("LANG") == nullptr;
  if (bNoLocale) std::setlocale(LC_CTYPE, "C.UTF-8");
}

// UTF-8 to wide characters; a malformed byte becomes '?'. Control characters become '?' too, so
// that every character takes exactly one cell.
std::wstring Decode(std::string_view s) {
  std::wstring w;
  w.reserve(s.size());
  for (size_t n = 0; n < s.size();) {
    const auto c = static_cast<unsigned char>(s[n]);
    int nMore = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    uint32_t nCode = nMore == 0 ? c : nMore == 1 ? (c & 0x1F) : nMore == 2 ? (c & 0x0F) : (c & 0x07);
    if (nMore < 0 || n + static_cast<size_t>(nMore) >= s.size()) {
      w.push_back(L'?');
      ++n;
      continue;
    }
    bool bOk = true;
    for (int k = 1; k <= nMore; ++k) {
      const auto d = static_cast<unsigned char>(s[n + static_cast<size_t>(k)]);
      if ((d & 0xC0) != 0x80) bOk = false;
      nCode = (nCode << 6) | (d & 0x3F);
    }
    if (!bOk) {
      w.push_back(L'?');
      ++n;
      continue;
    }
    n += static_cast<size_t>(nMore) + 1;
    const bool bControl = nCode < 0x20 || (nCode >= 0x7F && nCode < 0xA0);
    w.push_back(bControl ? L'?' : static_cast<wchar_t>(nCode));
  }
  return w;
}

int32_t TranslateKey(int nResult, wint_t wch) {
  if (nResult == KEY_CODE_YES) {
    if (wch >= static_cast<wint_t>(KEY_F(1)) && wch <= static_cast<wint_t>(KEY_F(12)))
      return TERM_KEY_F1 + static_cast<int32_t>(wch - KEY_F(1));
    switch (wch) {
      case KEY_UP: return TERM_KEY_UP;
      case KEY_DOWN: return TERM_KEY_DOWN;
      case KEY_LEFT: return TERM_KEY_LEFT;
      case KEY_RIGHT: return TERM_KEY_RIGHT;
      case KEY_PPAGE: return TERM_KEY_PAGE_UP;
      case KEY_NPAGE: return TERM_KEY_PAGE_DOWN;
      case KEY_HOME: return TERM_KEY_HOME;
      case KEY_END: return TERM_KEY_END;
      case KEY_BTAB: return TERM_KEY_BACKTAB;
      case KEY_BACKSPACE: return TERM_KEY_BACKSPACE;
      case KEY_DC: return TERM_KEY_DELETE;
      case KEY_ENTER: return TERM_KEY_ENTER;
      case KEY_RESIZE: return TERM_KEY_RESIZE;
      default: return 0;
    }
  }
  if (wch == L'\n' || wch == L'\r') return TERM_KEY_ENTER;
  if (wch == 127 || wch == 8) return TERM_KEY_BACKSPACE;
  return wch < 127 ? static_cast<int32_t>(wch) : 0;  // the console takes ASCII keys only
}

bool ReadMouse(TTermEvent& e) {
  MEVENT ev;
  if (getmouse(&ev) != OK) return false;
  if (ev.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED)) e.tMouse = TERM_MOUSE_CLICK;
  else if (ev.bstate & BUTTON4_PRESSED) e.tMouse = TERM_MOUSE_WHEEL_UP;
  else if (ev.bstate & BUTTON5_PRESSED) e.tMouse = TERM_MOUSE_WHEEL_DOWN;
  else return false;
  e.nRow = ev.y;
  e.nCol = ev.x;
  return true;
}

}  // namespace

struct TTerminal::TImpl {
  TTerminal* pOwner = nullptr;
  SCREEN* pScreen = nullptr;
  bool bColour = false;
  attr_t vAttr[TERM_STYLE_COUNT] = {};
  std::unique_ptr<asio::posix::stream_descriptor> pInput;  // a duplicate of stdin
  std::unique_ptr<asio::signal_set> pWinch;
  std::shared_ptr<bool> pAlive;  // false once closed; pending handlers then do nothing
  TStderrCapture tStderr;        // stderr while the screen is ours

  void SetUpStyles();
  void ArmInput();
  void ReadInput();
  void ArmResize();
};

void TTerminal::TImpl::SetUpStyles() {
  bColour = has_colors();
  if (!bColour) {
    const attr_t MONO[TERM_STYLE_COUNT] = {A_NORMAL, A_REVERSE | A_BOLD, A_REVERSE, A_BOLD, A_DIM,
                                           A_UNDERLINE, A_REVERSE, A_BOLD, A_REVERSE | A_BOLD, A_NORMAL,
                                           A_REVERSE, A_BOLD};
    std::memcpy(vAttr, MONO, sizeof(vAttr));
    return;
  }
  start_color();
  use_default_colors();
  struct { short nFg, nBg; attr_t nExtra; } const COLOURS[TERM_STYLE_COUNT] = {
      {-1, -1, A_NORMAL},                   // normal
      {COLOR_WHITE, COLOR_BLUE, A_BOLD},    // title
      {COLOR_BLACK, COLOR_CYAN, A_NORMAL},  // bar
      {COLOR_WHITE, -1, A_BOLD},            // button
      {-1, -1, A_DIM},                      // disabled
      {COLOR_CYAN, -1, A_NORMAL},           // field
      {COLOR_BLACK, COLOR_YELLOW, A_NORMAL},  // field being typed into
      {COLOR_YELLOW, -1, A_BOLD},           // key hint
      {COLOR_BLACK, COLOR_WHITE, A_BOLD},   // active tab, focused caption
      {COLOR_CYAN, -1, A_NORMAL},           // frame
      {COLOR_BLACK, COLOR_WHITE, A_NORMAL},  // dialog
      {COLOR_WHITE, COLOR_RED, A_BOLD},     // dialog's selected button
  };
  for (int n = 0; n < TERM_STYLE_COUNT; ++n) {
    init_pair(static_cast<short>(n + 1), COLOURS[n].nFg, COLOURS[n].nBg);
    vAttr[n] = COLOR_PAIR(n + 1) | COLOURS[n].nExtra;
  }
}

void TTerminal::TImpl::ArmInput() {
  if (!pInput) return;
  std::weak_ptr<bool> wAlive = pAlive;
  pInput->async_wait(asio::posix::stream_descriptor::wait_read, [this, wAlive](const asio::error_code& ec) {
    auto pLive = wAlive.lock();
    if (ec || !pLive || !*pLive) return;
    ReadInput();
  });
}

void TTerminal::TImpl::ReadInput() {
  // Readable with nothing to read: the terminal hung up. Stop listening, or the wait would spin.
  int nPending = 0;
  if (ioctl(STDIN_FILENO, FIONREAD, &nPending) != 0 || nPending <= 0) {
    pInput.reset();
    if (pOwner->OnHangUp) pOwner->OnHangUp();
    return;
  }
  std::vector<TTermEvent> vEvents;
  wint_t wch = 0;
  for (int nResult; (nResult = wget_wch(stdscr, &wch)) != ERR;) {
    TTermEvent e;
    if (nResult == KEY_CODE_YES && wch == KEY_MOUSE) {
      if (ReadMouse(e)) vEvents.push_back(e);
      continue;
    }
    e.nKey = TranslateKey(nResult, wch);
    if (e.nKey != 0) vEvents.push_back(e);
  }
  ArmInput();
  if (!vEvents.empty() && pOwner->OnInput) pOwner->OnInput(vEvents);
}

void TTerminal::TImpl::ArmResize() {
  std::weak_ptr<bool> wAlive = pAlive;
  pWinch->async_wait([this, wAlive](const asio::error_code& ec, int) {
    auto pLive = wAlive.lock();
    if (ec || !pLive || !*pLive) return;
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
      resizeterm(ws.ws_row, ws.ws_col);
    ArmResize();
    if (pOwner->OnResize) pOwner->OnResize();
  });
}

TTerminal::TTerminal() : pImpl(std::make_unique<TImpl>()) { pImpl->pOwner = this; }

TTerminal::~TTerminal() { Close(); }

bool TTerminal::Available() { return isatty(STDIN_FILENO) == 1 && isatty(STDOUT_FILENO) == 1; }

bool TTerminal::Open() {
  TImpl& t = *pImpl;
  if (t.pScreen != nullptr) return true;
  if (!Available()) return false;
  ChooseCharacterSet();
  t.pScreen = newterm(nullptr, stdout, stdin);
  if (t.pScreen == nullptr) return false;
  set_term(t.pScreen);
  raw();
  noecho();
  nonl();
  keypad(stdscr, TRUE);
  nodelay(stdscr, TRUE);
  curs_set(0);
  set_escdelay(25);
  mouseinterval(0);
  mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED | BUTTON4_PRESSED | BUTTON5_PRESSED, nullptr);
  t.SetUpStyles();
  t.pAlive = std::make_shared<bool>(true);
  asio::io_context& ioc = TControlLoop::Instance().Context();
  const int fdInput = dup(STDIN_FILENO);
  if (fdInput >= 0) {
    t.pInput = std::make_unique<asio::posix::stream_descriptor>(ioc, fdInput);
    t.ArmInput();
  }
  // After newterm: the loop's handler replaces the one ncurses installs, and applies the size.
  t.pWinch = std::make_unique<asio::signal_set>(ioc, SIGWINCH);
  t.ArmResize();
  t.tStderr.Start([this](const std::string& sLine) {
    if (OnStderrLine) OnStderrLine(sLine);
  });
  return true;
}

void TTerminal::Close() {
  TImpl& t = *pImpl;
  if (t.pScreen == nullptr) return;
  if (t.pAlive) *t.pAlive = false;
  asio::error_code ec;
  if (t.pInput) t.pInput->close(ec);
  t.pInput.reset();
  if (t.pWinch) t.pWinch->cancel(ec);
  t.pWinch.reset();
  mousemask(0, nullptr);
  endwin();
  delscreen(t.pScreen);
  t.pScreen = nullptr;
  t.tStderr.Stop();
}

bool TTerminal::IsOpen() const { return pImpl->pScreen != nullptr; }
int32_t TTerminal::Rows() const { return IsOpen() ? LINES : 0; }
int32_t TTerminal::Cols() const { return IsOpen() ? COLS : 0; }
bool TTerminal::HasColour() const { return pImpl->bColour; }

void TTerminal::Erase() {
  if (IsOpen()) erase();
}

int32_t TTerminal::Put(int32_t nRow, int32_t nCol, std::string_view sUtf8, int32_t nMaxCells, TTermStyle tStyle) {
  if (!IsOpen() || nRow < 0 || nRow >= LINES || nCol < 0 || nCol >= COLS) return 0;
  std::wstring w = Decode(sUtf8);
  const auto nCells = static_cast<int32_t>(std::min<size_t>(w.size(), static_cast<size_t>(
                                                                          std::max(0, std::min(nMaxCells, COLS - nCol)))));
  if (nCells <= 0) return 0;
  attrset(pImpl->vAttr[tStyle]);
  mvaddnwstr(nRow, nCol, w.c_str(), nCells);
  attrset(A_NORMAL);
  return nCells;
}

void TTerminal::Fill(int32_t nRow, int32_t nCol, int32_t nCells, TTermStyle tStyle) {
  if (!IsOpen() || nRow < 0 || nRow >= LINES || nCol < 0 || nCol >= COLS || nCells <= 0) return;
  mvhline(nRow, nCol, ' ' | pImpl->vAttr[tStyle], std::min(nCells, COLS - nCol));
}

void TTerminal::HLine(int32_t nRow, int32_t nCol, int32_t nCells, TTermStyle tStyle) {
  if (!IsOpen() || nRow < 0 || nRow >= LINES || nCol < 0 || nCol >= COLS || nCells <= 0) return;
  mvhline(nRow, nCol, ACS_HLINE | pImpl->vAttr[tStyle], std::min(nCells, COLS - nCol));
}

void TTerminal::VLine(int32_t nRow, int32_t nCol, int32_t nCells, TTermStyle tStyle) {
  if (!IsOpen() || nRow < 0 || nRow >= LINES || nCol < 0 || nCol >= COLS || nCells <= 0) return;
  mvvline(nRow, nCol, ACS_VLINE | pImpl->vAttr[tStyle], std::min(nCells, LINES - nRow));
}

void TTerminal::Frame(int32_t nRow, int32_t nCol, int32_t nHeight, int32_t nWidth, TTermStyle tStyle) {
  if (!IsOpen() || nHeight < 2 || nWidth < 2) return;
  const attr_t a = pImpl->vAttr[tStyle];
  const int32_t nBottom = nRow + nHeight - 1, nRight = nCol + nWidth - 1;
  HLine(nRow, nCol + 1, nWidth - 2, tStyle);
  HLine(nBottom, nCol + 1, nWidth - 2, tStyle);
  VLine(nRow + 1, nCol, nHeight - 2, tStyle);
  VLine(nRow + 1, nRight, nHeight - 2, tStyle);
  const struct { int32_t r, c; chtype ch; } CORNERS[] = {
      {nRow, nCol, ACS_ULCORNER}, {nRow, nRight, ACS_URCORNER}, {nBottom, nCol, ACS_LLCORNER},
      {nBottom, nRight, ACS_LRCORNER}};
  for (const auto& k : CORNERS)
    if (k.r >= 0 && k.r < LINES && k.c >= 0 && k.c < COLS) mvaddch(k.r, k.c, k.ch | a);
}

void TTerminal::Block(int32_t nRow, int32_t nCol, TTermStyle tStyle) {
  if (!IsOpen() || nRow < 0 || nRow >= LINES || nCol < 0 || nCol >= COLS) return;
  mvaddch(nRow, nCol, ' ' | A_REVERSE | pImpl->vAttr[tStyle]);
}

void TTerminal::Flush() {
  if (IsOpen()) refresh();
}

void TTerminal::FullRepaint() {
  if (IsOpen()) clearok(curscr, TRUE);
}

void WaitForEnterOnTerminal(const std::string& sPromptUtf8) {
  if (isatty(STDIN_FILENO) != 1 || isatty(STDERR_FILENO) != 1) return;
  std::fputs(sPromptUtf8.c_str(), stderr);
  std::fflush(stderr);
  // The terminal is still in its line mode: stdin becomes readable once a line is complete.
  while (true) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
      char c = 0;
      const ssize_t n = read(STDIN_FILENO, &c, 1);
      if (n <= 0 || c == '\n') return;
      continue;
    }
    if (!ServeControlLoopFor(100) || TerminationRequested()) return;
  }
}

bool ServeControlLoopFor(int nMilliseconds) {
  asio::io_context& ioc = TControlLoop::Instance().Context();
  if (ioc.stopped()) return false;
  ioc.run_one_for(std::chrono::milliseconds(nMilliseconds));
  return !ioc.stopped();
}
