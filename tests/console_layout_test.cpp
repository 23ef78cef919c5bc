// The console's layout rule in cells, checked at three terminal sizes without a terminal: the
// split of each page, the audit group folded on a low screen, "Clear" beside its memo with the
// bottoms level, "Enabled" right above "Clear", status bar panels in quarters and thirds, a blank
// between top-bar controls, and nothing overlapping or off the screen.
#include "hosting/untConsoleLayout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

struct SizeCase {
  int32_t nRows, nCols;
  int32_t nPageHeight;    // rows between the tab strip and the main status bar
  int32_t nMemoWidth;     // width of every pane's memo outside the audit group
  int32_t nQuarter;       // each of the first three panels of a four-panel bar
  int32_t nThird;         // each of the first two panels of a three-panel bar
  bool bAuditFolded;      // the audit group is one row
};

const SizeCase SIZES[] = {
    {24, 80, 17, 66, 20, 27, true},
    {40, 120, 33, 106, 30, 40, false},
    {60, 200, 53, 186, 50, 67, false},
};

class ConsoleLayoutTest : public ::testing::TestWithParam<SizeCase> {};

bool Inside(const TCellRect& r, int32_t nRows, int32_t nCols) {
  return r.nRow >= 0 && r.nCol >= 0 && r.nRow + r.nHeight <= nRows && r.nCol + r.nWidth <= nCols;
}

bool Overlap(const TCellRect& a, const TCellRect& b) {
  if (a.Empty() || b.Empty()) return false;
  return a.nRow < b.nRow + b.nHeight && b.nRow < a.nRow + a.nHeight && a.nCol < b.nCol + b.nWidth &&
         b.nCol < a.nCol + a.nWidth;
}

TEST_P(ConsoleLayoutTest, PagesSplitByTheRule) {
  const SizeCase& c = GetParam();
  const TConsoleLayout l = ComputeConsoleLayout(c.nRows, c.nCols);
  EXPECT_FALSE(l.bTooSmall);
  EXPECT_EQ(l.rPage.nHeight, c.nPageHeight);
  EXPECT_EQ(l.rMainStatus.nRow, c.nRows - 2);
  EXPECT_EQ(l.rLegend.nRow, c.nRows - 1);

  // Main: the audit group on top, the proxy log with half of what is left (rounded), the main log
  // with the rest.
  EXPECT_EQ(l.bAuditFolded, c.bAuditFolded);
  const int32_t nAudit = c.bAuditFolded ? 1 : CONSOLE_AUDIT_HEIGHT;
  const int32_t nRest = c.nPageHeight - nAudit;
  const auto nProxy = static_cast<int32_t>(std::lround(nRest / 2.0));
  const TPaneLayout& main = l.vPanes[PANE_MAIN_LOG];
  const TPaneLayout& proxy = l.vPanes[PANE_PROXY_LOG];
  EXPECT_EQ(l.rAuditGroup.nHeight, nAudit);
  EXPECT_EQ(main.rCaption.nRow, l.rPage.nRow + nAudit);
  EXPECT_EQ(proxy.rMemo.Bottom() - proxy.rCaption.nRow + 1, nProxy);
  EXPECT_EQ(main.rMemo.Bottom() + 1, proxy.rCaption.nRow);
  EXPECT_EQ(proxy.rMemo.Bottom(), l.rPage.Bottom());
  EXPECT_EQ(l.rAuditGroup.nWidth, c.nCols - 2);
  if (!c.bAuditFolded) {
    EXPECT_EQ(l.vPanes[PANE_MAIN_AUDIT].rMemo.nWidth, c.nCols - 2 - CONSOLE_CLEAR_WIDTH - 3);
  }
  // Folded or not, the audit memo wraps as the unfolded one does.
  EXPECT_EQ(l.vPanes[PANE_MAIN_AUDIT].nWrapWidth, c.nCols - 2 - CONSOLE_CLEAR_WIDTH - 3);

  // Traffic pages: one status bar row, then the upper pane with half of the rest (rounded).
  const auto nUpper = static_cast<int32_t>(std::lround((c.nPageHeight - 1) / 2.0));
  for (auto [tUpper, tLower] : {std::pair{PANE_GENERIC_RECEIVED, PANE_GENERIC_PROCESSED},
                                std::pair{PANE_GLOBAL_QUEUE, PANE_SPECIFIC_QUEUE},
                                std::pair{PANE_GLOBAL_PEER, PANE_SPECIFIC_PEER},
                                std::pair{PANE_GLOBAL_FEATUREPARK, PANE_SPECIFIC_FEATUREPARK}}) {
    const TPaneLayout& up = l.vPanes[tUpper];
    const TPaneLayout& low = l.vPanes[tLower];
    EXPECT_EQ(up.rCaption.nRow, l.rPage.nRow + 1) << PaneCaption(tUpper);
    EXPECT_EQ(up.rMemo.Bottom() - up.rCaption.nRow + 1, nUpper) << PaneCaption(tUpper);
    EXPECT_EQ(low.rMemo.Bottom(), l.rPage.Bottom()) << PaneCaption(tLower);
  }
  // The specific bars sit in the lower pane's first row, right after the upper pane.
  EXPECT_EQ(l.vStatusPanels[STB_SPECIFIC_QUEUE][0].nRow, l.vPanes[PANE_GLOBAL_QUEUE].rMemo.Bottom() + 1);
  EXPECT_EQ(l.vPanes[PANE_GENERIC_PROCESSED].rCaption.nRow, l.vPanes[PANE_GENERIC_RECEIVED].rMemo.Bottom() + 1);
}

TEST_P(ConsoleLayoutTest, ClearBesideItsMemoAndEnabledAboveIt) {
  const SizeCase& c = GetParam();
  const TConsoleLayout l = ComputeConsoleLayout(c.nRows, c.nCols);
  for (int n = 0; n < PANE_COUNT; ++n) {
    const TPaneLayout& p = l.vPanes[n];
    const std::string sPane = PaneCaption(static_cast<TPaneId>(n));
    if (n != PANE_MAIN_AUDIT) {
      EXPECT_EQ(p.rMemo.nWidth, c.nMemoWidth) << sPane;
      EXPECT_EQ(p.nWrapWidth, c.nMemoWidth) << sPane;
    }
    EXPECT_EQ(p.rClear.nWidth, CONSOLE_CLEAR_WIDTH) << sPane;
    EXPECT_EQ(p.rClear.nCol, p.rMemo.Right() + 2) << sPane;  // one cell right: the scroll bar
    EXPECT_EQ(p.rScrollBar.nCol, p.rMemo.Right() + 1) << sPane;
    EXPECT_EQ(p.rClear.Bottom(), p.rMemo.Bottom()) << sPane;
    EXPECT_LT(p.rClear.Right(), c.nCols) << sPane;
    if (n < PANE_GENERIC_RECEIVED) {
      EXPECT_TRUE(p.rEnabled.Empty()) << sPane;
      continue;
    }
    EXPECT_EQ(p.rEnabled.nCol, p.rClear.nCol) << sPane;
    EXPECT_EQ(p.rEnabled.nRow, p.rClear.nRow - 1) << sPane;
    EXPECT_GE(p.rEnabled.nRow, p.rMemo.nRow) << sPane;
    EXPECT_EQ(l.vControls[EnabledOfPane(static_cast<TPaneId>(n))].nRow, p.rEnabled.nRow) << sPane;
  }
}

TEST_P(ConsoleLayoutTest, StatusPanelsInQuartersAndThirds) {
  const SizeCase& c = GetParam();
  const TConsoleLayout l = ComputeConsoleLayout(c.nRows, c.nCols);
  for (int n = STB_GENERIC_MSG_READ; n < STB_COUNT; ++n) {
    const std::vector<TCellRect>& v = l.vStatusPanels[n];
    ASSERT_TRUE(v.size() == 3 || v.size() == 4) << n;
    const int32_t nEach = v.size() == 4 ? c.nQuarter : c.nThird;
    int32_t nSum = 0;
    for (size_t k = 0; k < v.size(); ++k) {
      if (k + 1 < v.size()) {
        EXPECT_EQ(v[k].nWidth, nEach) << "bar " << n << " panel " << k;
      }
      EXPECT_EQ(v[k].nCol, nSum) << "bar " << n << " panel " << k;
      nSum += v[k].nWidth;
    }
    EXPECT_EQ(nSum, c.nCols) << "bar " << n;
  }
  EXPECT_EQ(l.vStatusPanels[STB_MAIN][0].nWidth, CONSOLE_MAIN_PANEL0_WIDTH);
  EXPECT_EQ(l.vStatusPanels[STB_MAIN][1].Right(), c.nCols - 1);
}

TEST_P(ConsoleLayoutTest, TopBarControlsFitWithoutOverlap) {
  const SizeCase& c = GetParam();
  const TConsoleLayout l = ComputeConsoleLayout(c.nRows, c.nCols);
  std::vector<TCellRect> vTop;
  for (int n = CTL_TXT_SERVER_IP; n <= CTL_CMD_CLEAR_ALL_LOGS; ++n) vTop.push_back(l.vControls[n]);
  for (const TCellRect& r : l.vTabs) vTop.push_back(r);
  for (size_t a = 0; a < vTop.size(); ++a) {
    EXPECT_TRUE(Inside(vTop[a], c.nRows, c.nCols)) << a;
    EXPECT_FALSE(vTop[a].Empty()) << a;
    for (size_t b = a + 1; b < vTop.size(); ++b) EXPECT_FALSE(Overlap(vTop[a], vTop[b])) << a << " and " << b;
  }
  // Every field shows its caption, ": " and its whole value area (15 cells at least for the IP).
  const std::pair<TControlId, int32_t> vValues[] = {{CTL_TXT_SERVER_IP, 15}, {CTL_TXT_SERVER_PORT, 5},
                                                    {CTL_TXT_USERNAME, 8}, {CTL_TXT_SECRET, 8},
                                                    {CTL_TXT_PROXY_PORT, 5}};
  for (const auto& [t, nValue] : vValues)
    EXPECT_GE(l.vControls[t].nWidth, static_cast<int32_t>(std::string(ControlCaption(t)).size()) + 2 + nValue)
        << ControlCaption(t);
  // Start above stop, proxy left of client left of server, all right-aligned.
  EXPECT_EQ(l.vControls[CTL_CMD_STOP_CLIENT].nRow, l.vControls[CTL_CMD_START_CLIENT].nRow + 1);
  EXPECT_LT(l.vControls[CTL_CMD_START_PROXY].nCol, l.vControls[CTL_CMD_START_CLIENT].nCol);
  EXPECT_LT(l.vControls[CTL_CMD_START_CLIENT].nCol, l.vControls[CTL_CMD_START_SERVER].nCol);
  EXPECT_EQ(l.vControls[CTL_CMD_START_SERVER].Right(), c.nCols - 2);
  // Each button holds its own text, "[F3 Start Client]" (the key, a blank, the caption, brackets).
  for (int n = CTL_CMD_START_PROXY; n <= CTL_CMD_CLEAR_ALL_LOGS; ++n) {
    const auto t = static_cast<TControlId>(n);
    EXPECT_GE(l.vControls[t].nWidth, static_cast<int32_t>(std::string(ButtonKey(t)).size() + 1 +
                                                           std::string(ControlCaption(t)).size() + 2))
        << ControlCaption(t);
  }
}

// "[F3 Start Client][F5 Start Server]" reads as one button: on every row of the top bar a blank
// cell separates any two controls.
TEST_P(ConsoleLayoutTest, TopBarControlsKeepABlankBetweenThem) {
  const SizeCase& c = GetParam();
  const TConsoleLayout l = ComputeConsoleLayout(c.nRows, c.nCols);
  for (int a = CTL_TXT_SERVER_IP; a <= CTL_CMD_CLEAR_ALL_LOGS; ++a) {
    for (int b = CTL_TXT_SERVER_IP; b <= CTL_CMD_CLEAR_ALL_LOGS; ++b) {
      const TCellRect& ra = l.vControls[a];
      const TCellRect& rb = l.vControls[b];
      if (a == b || ra.nRow != rb.nRow || ra.nCol > rb.nCol) continue;
      EXPECT_GE(rb.nCol - ra.Right(), 2) << ControlCaption(static_cast<TControlId>(a)) << " and "
                                         << ControlCaption(static_cast<TControlId>(b));
    }
  }
}

TEST_P(ConsoleLayoutTest, PageControlsStayApart) {
  const SizeCase& c = GetParam();
  const TConsoleLayout l = ComputeConsoleLayout(c.nRows, c.nCols);
  for (int nPage = 0; nPage < PAGE_COUNT; ++nPage) {
    std::vector<TCellRect> v;
    for (TPaneId t : PanesOfPage(nPage)) {
      const TPaneLayout& p = l.vPanes[t];
      for (const TCellRect& r : {p.rCaption, p.rMemo, p.rScrollBar, p.rClear, p.rEnabled}) v.push_back(r);
    }
    for (int n = 0; n < STB_COUNT; ++n)
      if (PageOfStatusBar(static_cast<TStatusBarId>(n)) == nPage)
        for (const TCellRect& r : l.vStatusPanels[n]) v.push_back(r);
    if (nPage == PAGE_MAIN)
      for (TControlId t : {CTL_CHK_MAIN_AUDIT, CTL_TXT_AUDIT_TIME}) v.push_back(l.vControls[t]);
    for (size_t a = 0; a < v.size(); ++a) {
      if (v[a].Empty()) continue;
      EXPECT_TRUE(Inside(v[a], l.rPage.Bottom() + 1, c.nCols)) << "page " << nPage << " item " << a;
      EXPECT_GE(v[a].nRow, l.rPage.nRow) << "page " << nPage << " item " << a;
      for (size_t b = a + 1; b < v.size(); ++b)
        EXPECT_FALSE(Overlap(v[a], v[b])) << "page " << nPage << " items " << a << " and " << b;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ConsoleLayoutTest, ::testing::ValuesIn(SIZES),
                         [](const auto& info) {
                           return std::to_string(info.param.nCols) + "x" + std::to_string(info.param.nRows);
                         });

// On a low screen the audit group gives its rows to the two logs: at every height from 80 x 24 up
// each log keeps at least seven text rows (five at 80 x 24 before the fold), and the folded row
// still holds the check box, the minutes, the memo and its "Clear".
TEST(ConsoleLayoutLow, AuditGroupFoldsSoTheLogsKeepTheirRows) {
  for (int32_t nRows = CONSOLE_MIN_ROWS; nRows <= 60; ++nRows) {
    const TConsoleLayout l = ComputeConsoleLayout(nRows, 80);
    EXPECT_GE(l.vPanes[PANE_MAIN_LOG].rMemo.nHeight, 7) << nRows;
    EXPECT_GE(l.vPanes[PANE_PROXY_LOG].rMemo.nHeight, 7) << nRows;
    // Wrapped log lines take two rows at 80 columns; only clipped ones leave five whole entries.
    EXPECT_EQ(l.vPanes[PANE_MAIN_LOG].bClipLines, l.bAuditFolded) << nRows;
    EXPECT_EQ(l.vPanes[PANE_PROXY_LOG].bClipLines, l.bAuditFolded) << nRows;
    EXPECT_FALSE(l.vPanes[PANE_MAIN_AUDIT].bClipLines) << nRows;
    if (!l.bAuditFolded) continue;
    const TPaneLayout& audit = l.vPanes[PANE_MAIN_AUDIT];
    for (const TCellRect& r : {l.vControls[CTL_CHK_MAIN_AUDIT], l.vControls[CTL_TXT_AUDIT_TIME], audit.rMemo,
                               audit.rScrollBar, audit.rClear})
      EXPECT_EQ(r.nRow, l.rPage.nRow) << nRows;
    EXPECT_GE(audit.rMemo.nWidth, 20) << nRows;
    EXPECT_EQ(audit.rClear.Right(), l.vPanes[PANE_MAIN_LOG].rClear.Right()) << nRows;
  }
  EXPECT_TRUE(ComputeConsoleLayout(24, 80).bAuditFolded);
  EXPECT_FALSE(ComputeConsoleLayout(40, 80).bAuditFolded);
}

TEST(ConsoleLayoutSmall, BelowTheMinimumIsFlaggedAndStillSane) {
  const TConsoleLayout l = ComputeConsoleLayout(20, 60);
  EXPECT_TRUE(l.bTooSmall);
  EXPECT_GT(l.vPanes[PANE_MAIN_LOG].rMemo.nHeight, 0);
  EXPECT_GT(l.vPanes[PANE_MAIN_LOG].rMemo.nWidth, 0);
}

}  // namespace
