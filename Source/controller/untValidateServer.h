// Pure text routines of the client protocol (no I/O, no shared state), kept apart from the
// controller's operations so that they can be tested byte by byte.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum TExtractResult_OPT {
  EXTRACT_RESULT_FOUND = 0,          // key and terminator present; the value is set
  EXTRACT_RESULT_NO_KEY = 1,         // the key is not in the text
  EXTRACT_RESULT_NO_TERMINATOR = 2,  // the key is there, no terminator after it
};

// The value of one handshake step or change command. sKey is searched case-sensitively, first
// occurrence anywhere. The rest of the text begins nValueOffset characters after the key's start
// (the key's length when npos); the value is the rest up to and including the first occurrence of
// sTerminator ("\r\n" or ")") plus one more character, when there is one. So "\r\n" ends the value
// with the CR LF itself, and ")" with the parenthesis and the character after it.
TExtractResult_OPT ExtractHandshakeValue(std::string_view sText, std::string_view sKey, std::string_view sTerminator,
                                         std::string& sValue, size_t nValueOffset = std::string_view::npos);

// Removes CR LF pairs until none is left ("\r\r\n\n" becomes empty), in one linear pass, so a
// hostile read cannot make it quadratic. Used for the log copy of what a client sent.
std::string RemoveAllCrLfPairs(std::string_view sText);
