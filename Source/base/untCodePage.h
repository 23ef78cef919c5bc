// Windows-1252, the single-byte code page of the wire and of every text inside the relay.
// Files for people (the log, the audit captures) and the terminal are UTF-8.
#pragma once

#include <string>
#include <string_view>

// Every byte maps to one character; the five unassigned bytes map to their C1 control points.
std::string Cp1252ToUtf8(std::string_view sText);
// Characters without a Windows-1252 byte become '?'; malformed UTF-8 bytes are taken as Latin-1.
std::string Utf8ToCp1252(std::string_view sText);
