// The terminal under the operator console: a thin layer over ncurses (wide characters, colour
// where the terminal has it, mouse where it reports it), so nothing above the platform layer
// includes curses.
//
// Thread: the control thread only, from Open to Close. Input is driven by the control loop: an
// asynchronous wait for stdin to become readable, after which every pending key and mouse event
// is read without blocking and handed to OnInput in one batch (the wait is re-armed before the
// batch is handed over, so a handler may run a nested loop and still receive input). SIGWINCH is
// delivered through the control loop too; the new size is applied before OnResize runs. When stdin
// hangs up (the terminal went away) OnHangUp runs once and input stops.
//
// While the terminal is open, what the process writes to stderr would land on the screen and
// corrupt it: stderr goes to a file instead (untTerminalStderr.h), each line of it is handed to
// OnStderrLine, and it is written to the real stderr again after the terminal has been given back.
//
// Text is UTF-8; every character is taken as one cell, and control characters are drawn as '?'.
// Drawing goes to an off-screen buffer; Flush sends only what changed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

enum TTermStyle : int {
  TERM_STYLE_NORMAL,
  TERM_STYLE_TITLE,            // the title row
  TERM_STYLE_BAR,              // status bars and the key legend
  TERM_STYLE_BUTTON,           // an enabled button or check box
  TERM_STYLE_DISABLED,         // a disabled control
  TERM_STYLE_FIELD,            // the value of an edit field
  TERM_STYLE_FIELD_FOCUS,      // the edit field being typed into
  TERM_STYLE_KEY,              // a key hint
  TERM_STYLE_ACTIVE,           // the shown page's tab, the focused pane's caption
  TERM_STYLE_FRAME,            // captions and rules
  TERM_STYLE_DIALOG,           // a notice's box
  TERM_STYLE_DIALOG_SELECTED,  // the notice's selected button
  TERM_STYLE_COUNT
};

// Keys other than printable characters. Printable ASCII arrives as its own code (32..126);
// control characters as their code (1..31).
enum TTermKey : int32_t {
  TERM_KEY_CTRL_C = 3, TERM_KEY_TAB = 9, TERM_KEY_ENTER = 13, TERM_KEY_ESCAPE = 27,
  TERM_KEY_F1 = 1001,  // F1..F12 are TERM_KEY_F1 + 0..11
  TERM_KEY_UP = 1101, TERM_KEY_DOWN, TERM_KEY_LEFT, TERM_KEY_RIGHT, TERM_KEY_PAGE_UP, TERM_KEY_PAGE_DOWN,
  TERM_KEY_HOME, TERM_KEY_END, TERM_KEY_BACKTAB, TERM_KEY_BACKSPACE, TERM_KEY_DELETE, TERM_KEY_RESIZE,
};

enum TTermMouse : int { TERM_MOUSE_NONE, TERM_MOUSE_CLICK, TERM_MOUSE_WHEEL_UP, TERM_MOUSE_WHEEL_DOWN };

struct TTermEvent {
  int32_t nKey = 0;                       // a key, or 0 for a mouse event
  TTermMouse tMouse = TERM_MOUSE_NONE;    // the mouse event, when nKey is 0
  int32_t nRow = 0, nCol = 0;             // where the mouse event happened
};

class TTerminal {
 public:
  TTerminal();
  ~TTerminal();  // closes the terminal if still open
  TTerminal(const TTerminal&) = delete;
  TTerminal& operator=(const TTerminal&) = delete;

  // True when stdin and stdout are both terminals.
  static bool Available();
  // Takes over the terminal (full screen, no echo, keys one by one) and starts reading input.
  // False, with the terminal left as it was, when it cannot (no terminal, unknown TERM).
  bool Open();
  void Close();  // gives the terminal back; safe to call twice
  bool IsOpen() const;

  int32_t Rows() const;
  int32_t Cols() const;
  bool HasColour() const;

  void Erase();  // blanks the off-screen buffer
  // Draws sUtf8 from (nRow, nCol), at most nMaxCells cells and never past the right edge;
  // returns the cells drawn.
  int32_t Put(int32_t nRow, int32_t nCol, std::string_view sUtf8, int32_t nMaxCells, TTermStyle tStyle);
  void Fill(int32_t nRow, int32_t nCol, int32_t nCells, TTermStyle tStyle);   // blanks
  void HLine(int32_t nRow, int32_t nCol, int32_t nCells, TTermStyle tStyle);  // a horizontal rule
  void VLine(int32_t nRow, int32_t nCol, int32_t nCells, TTermStyle tStyle);  // a vertical rule
  void Frame(int32_t nRow, int32_t nCol, int32_t nHeight, int32_t nWidth, TTermStyle tStyle);  // a box
  void Block(int32_t nRow, int32_t nCol, TTermStyle tStyle);  // a solid cell (scroll bar thumb)
  void Flush();        // sends the changes to the terminal
  void FullRepaint();  // the next Flush redraws every cell (Ctrl+L)

  std::function<void(const std::vector<TTermEvent>&)> OnInput;  // control thread
  std::function<void()> OnResize;                               // control thread
  std::function<void()> OnHangUp;                               // control thread
  std::function<void(const std::string&)> OnStderrLine;         // control thread; UTF-8, no line end

 private:
  struct TImpl;
  std::unique_ptr<TImpl> pImpl;
};

// Before the console takes the screen, on the control thread: when stdin and stderr are both
// terminals, writes sPromptUtf8 on stderr and waits until a line is typed (Enter), stdin ends, or
// the control loop stops; the loop is served meanwhile, so signals and hand-overs still run.
// Returns at once, without writing, when there is no terminal to ask.
void WaitForEnterOnTerminal(const std::string& sPromptUtf8);

// Serves the control loop for at most nMilliseconds: runs ready handlers (sockets, timers, input)
// or waits for one. For a modal wait on the control thread, such as a notice waiting for the
// operator, so the relay keeps working meanwhile. False once the loop has been stopped.
bool ServeControlLoopFor(int nMilliseconds);
