// The numbered message table: 67 operator and log texts, one language column.
// Texts are returned in Windows-1252, the relay's inner code page.
#pragma once

#include <string>

constexpr int MESSAGE_COUNT = 67;

// Text number nIndex of the current language column; empty outside 0..66.
const std::string& Msg(int nIndex);
