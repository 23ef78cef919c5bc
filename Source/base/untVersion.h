// The relay's version and build, as --version, --help and the metrics page show them. The
// version and the build date come from the build (CMakeLists.txt); both are constants.
#pragma once

#include <string>

// The release, e.g. "1.0".
const char* TelvaneVersion();

// One line: "telvane <version> (built <YYYY-MM-DD>, <compiler> <major>)".
std::string TelvaneBuildText();
