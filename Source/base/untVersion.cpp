#include "base/untVersion.h"

// The build defines both for this file alone, so a new date rebuilds one object.
#ifndef TELVANE_VERSION
#define TELVANE_VERSION "0.0"
#endif
#ifndef TELVANE_BUILD_DATE
#define TELVANE_BUILD_DATE "unknown date"
#endif

namespace {

std::string CompilerText() {
#if defined(__clang__)
  return "clang++ " + std::to_string(__clang_major__);
#elif defined(__GNUC__)
  return "g++ " + std::to_string(__GNUC__);
#else
  return "unknown compiler";
#endif
}

}  // namespace

const char* TelvaneVersion() { return TELVANE_VERSION; }

std::string TelvaneBuildText() {
  return std::string("telvane ") + TELVANE_VERSION + " (built " + TELVANE_BUILD_DATE + ", " + CompilerText() + ")";
}
