// Small text routines shared by the whole relay. Pure functions over Windows-1252 text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Every run of blanks and tabs becomes one blank; line breaks and other characters stay.
std::string CollapseWhitespace(const std::string& sText);

// Removes every character with code 32 or lower from both ends.
std::string Trim(std::string_view sText);

// Removes every CR LF pair in one left-to-right pass.
std::string RemoveCrLf(std::string_view sText);

// Replaces every occurrence of sFrom by sTo, left to right, without overlap.
std::string ReplaceAll(std::string_view sText, std::string_view sFrom, std::string_view sTo);

// Strict integer conversion: optional leading blanks, an optional sign and decimal digits, or a
// hexadecimal number after "$", "x" or "0x" (either case); nothing after; 32-bit signed range.
// Empty optional on anything else; sError then holds the reason when given.
std::optional<int32_t> StrToIntStrict(std::string_view sText, std::string* sError = nullptr);

// Splits at cDelimiter into lstOut (cleared first). Strict mode: only the delimiter separates and
// blanks stay inside entries; an entry starting with '"' is a quoted string ("" inside is one
// quote) and is the quoted text alone: anything after the closing quote up to the next delimiter
// is dropped; a delimiter at the very end yields a last, empty entry; the text ends at its first
// NUL; an empty text yields no entry.
void SplitDelimited(char cDelimiter, std::string_view sText, bool bStrict,
                    std::vector<std::string>& lstOut);

// True for "Y", "YES", "TRUE", "1", "S" and "SIM" after trimming, in any letter case.
bool IsTrueText(std::string_view sText);

// Decimal text of a number.
std::string IntToStr(int64_t nValue);

// A peer's text made safe for one log line: every byte below 0x20, DEL (0x7F) and the five bytes
// that Windows-1252 leaves undefined (they become C1 control characters in UTF-8) are written as
// "\r", "\n", "\t" or "\xhh" (two lower-case hex digits), and the backslash as "\\", so the
// log shows every byte that came and a peer can neither start a line nor steer a terminal.
// The result grows to nMaxBytes at most and never ends inside an escape; *pTaken, when given,
// gets how many bytes of sText it stands for (sText.size() when nothing was cut).
std::string EscapeControlChars(std::string_view sText, size_t nMaxBytes = std::string::npos,
                               size_t* pTaken = nullptr);

// True for 1, 10, 100, ...: a log line repeated under a flood is written only for those
// occurrences, each saying how many there were so far, so a flood costs a handful of lines.
bool IsPowerOfTen(uint64_t nCount);
