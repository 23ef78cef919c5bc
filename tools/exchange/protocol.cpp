// Wire texts of the simulated exchange: action reading, replay files, event framing and cuts.
// The answers to actions live in dialogue.cpp. Pure functions; see protocol.h.
#include "protocol.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace exsim {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Position just past the empty line that ends the first block, or npos.
size_t FindBlockEnd(const std::string& sText) {
  size_t nCrLf = sText.find("\n\r\n");
  size_t nLf = sText.find("\n\n");
  if (nCrLf == std::string::npos && nLf == std::string::npos) return std::string::npos;
  if (nLf != std::string::npos && (nCrLf == std::string::npos || nLf < nCrLf)) return nLf + 2;
  return nCrLf + 3;
}

TAction ParseAction(std::string_view sBlock) {
  TAction tAction;
  while (!sBlock.empty()) {
    size_t nEol = sBlock.find('\n');
    std::string_view sLine = sBlock.substr(0, nEol);
    sBlock = nEol == std::string_view::npos ? std::string_view() : sBlock.substr(nEol + 1);
    size_t nColon = sLine.find(':');
    if (nColon == std::string_view::npos) continue;  // not a field: ignored
    tAction.lstFields.emplace_back(std::string(TrimBlanks(sLine.substr(0, nColon))),
                                   std::string(TrimBlanks(sLine.substr(nColon + 1))));
  }
  return tAction;
}

bool IsBlankLine(std::string_view sLine) {
  return sLine.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

std::string TAction::Get(std::string_view sKey) const {
  for (const auto& [sName, sValue] : lstFields)
    if (EqualNoCase(sName, sKey)) return sValue;
  return {};
}

void TActionReader::Feed(std::string_view sBytes) {
  sPending.append(sBytes);
  if (sPending.size() > kMaxActionBytes && FindBlockEnd(sPending) == std::string::npos) {
    nDiscarded += sPending.size();
    sPending.clear();
  }
}

bool TActionReader::Next(TAction& tAction) {
  for (;;) {
    size_t nSkip = sPending.find_first_not_of("\r\n");
    sPending.erase(0, nSkip == std::string::npos ? sPending.size() : nSkip);
    size_t nEnd = FindBlockEnd(sPending);
    if (nEnd == std::string::npos) return false;
    tAction = ParseAction(std::string_view(sPending).substr(0, nEnd));
    sPending.erase(0, nEnd);
    if (!tAction.lstFields.empty()) return true;
  }
}

std::string NormaliseLineEnds(std::string_view sText) {
  std::string sOut;
  sOut.reserve(sText.size() + sText.size() / 16);
  for (size_t i = 0; i < sText.size(); ++i) {
    if (sText[i] == '\n' && (i == 0 || sText[i - 1] != '\r')) sOut += '\r';
    sOut += sText[i];
  }
  return sOut;
}

std::vector<std::string> SplitBlocks(std::string_view sText) {
  std::vector<std::string> vBlocks;
  std::string sBlock;
  while (!sText.empty()) {
    size_t nEol = sText.find("\r\n");
    std::string_view sLine = sText.substr(0, nEol);
    sText = nEol == std::string_view::npos ? std::string_view() : sText.substr(nEol + 2);
    if (IsBlankLine(sLine)) {
      if (!sBlock.empty()) vBlocks.push_back(std::move(sBlock));
      sBlock.clear();
      continue;
    }
    sBlock.append(sLine).append("\r\n");
  }
  if (!sBlock.empty()) vBlocks.push_back(std::move(sBlock));
  return vBlocks;
}

bool LoadReplayFile(const std::string& sPath, std::vector<std::string>& vBlocks,
                    std::string& sError) {
  std::ifstream tFile(sPath, std::ios::binary);
  if (!tFile) {
    sError = "cannot open replay file " + sPath;
    return false;
  }
  std::string sText;
  char vChunk[65536];
  while (tFile.read(vChunk, sizeof vChunk) || tFile.gcount() > 0) {
    sText.append(vChunk, static_cast<size_t>(tFile.gcount()));
    if (sText.size() > kMaxReplayBytes) {
      sError = "replay file " + sPath + " is larger than 64 MiB";
      return false;
    }
  }
  vBlocks = SplitBlocks(NormaliseLineEnds(sText));
  if (vBlocks.empty()) {
    sError = "replay file " + sPath + " holds no event block";
    return false;
  }
  return true;
}

std::string FrameEvent(std::string_view sBlock, bool bStamp, uint64_t nSeq, int64_t nSentMicros) {
  std::string sOut;
  sOut.reserve(sBlock.size() + 64);
  sOut.append(sBlock);
  if (sOut.size() < 2 || sOut.compare(sOut.size() - 2, 2, "\r\n") != 0) sOut += "\r\n";
  if (bStamp) {
    sOut += "TelvaneSeq: " + std::to_string(nSeq) + "\r\n";
    sOut += "TelvaneSent: " + std::to_string(nSentMicros) + "\r\n";
  }
  sOut += "\r\n";
  return sOut;
}

std::string DecodeEscapes(std::string_view sText) {
  auto fHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  std::string sOut;
  size_t i = 0;
  while (i < sText.size()) {
    std::string_view sRest = sText.substr(i);
    if (sRest.size() >= 2 && sRest[0] == '\\') {
      const char cNext = sRest[1];
      if (cNext == 'r' || cNext == 'n' || cNext == 't' || cNext == '\\') {
        sOut += cNext == 'r' ? '\r' : cNext == 'n' ? '\n' : cNext == 't' ? '\t' : '\\';
        i += 2;
        continue;
      }
      if (cNext == 'x' && sRest.size() >= 4 && fHex(sRest[2]) && fHex(sRest[3])) {
        sOut += static_cast<char>(std::stoi(std::string(sRest.substr(2, 2)), nullptr, 16));
        i += 4;
        continue;
      }
    }
    sOut += sText[i++];  // plain character, or a backslash sequence kept as written
  }
  return sOut;
}

std::vector<size_t> CutEvery(size_t nLength, size_t nEvery) {
  std::vector<size_t> vPieces;
  if (nEvery == 0) nEvery = nLength;
  for (size_t nDone = 0; nDone < nLength; nDone += nEvery)
    vPieces.push_back(std::min(nEvery, nLength - nDone));
  return vPieces;
}

std::vector<size_t> CutRandom(size_t nLength, TRandom& tRandom) {
  if (nLength < 2) return {nLength};
  // A few cuts for a short write, more for a long batch, so the pieces stay a few hundred bytes.
  size_t nMaxCuts = std::min(nLength - 1, 3 + nLength / 512);
  size_t nCuts = 1 + tRandom.Below(nMaxCuts);
  std::vector<size_t> vAt;
  for (size_t i = 0; i < nCuts; ++i) vAt.push_back(1 + tRandom.Below(nLength - 1));
  std::sort(vAt.begin(), vAt.end());
  vAt.erase(std::unique(vAt.begin(), vAt.end()), vAt.end());
  std::vector<size_t> vPieces;
  size_t nFrom = 0;
  for (size_t nAt : vAt) {
    vPieces.push_back(nAt - nFrom);
    nFrom = nAt;
  }
  vPieces.push_back(nLength - nFrom);
  return vPieces;
}

}  // namespace exsim
