#include "startup/untConfigCheck.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include "base/untCodePage.h"
#include "base/untExitCodes.h"
#include "base/untVariables.h"
#include "controller/untValidate.h"

namespace {

constexpr int EXIT_CHECK_OK = 0;
constexpr int EXIT_CHECK_UNREADABLE = 1;
constexpr int EXIT_CHECK_FINDINGS = 2;  // runs, but something was corrected or is not known

// A logged line on the terminal: UTF-8, and the message table's CRs as line breaks; warnings
// say so, as their log lines do.
void PrintConfigLine(int nLevel, const std::string& sText) {
  std::string sShown = Cp1252ToUtf8((nLevel == 1 ? "WARNING: " : "") + sText);
  for (char& c : sShown)
    if (c == '\r') c = '\n';
  std::printf("%s\n", sShown.c_str());
}

}  // namespace

int RunConfigCheck() {
  const std::string sPath = TValidate::GetConfigFilePath();
  std::printf("Configuration file: %s\n", sPath.c_str());
  std::error_code ec;
  if (!std::filesystem::exists(sPath, ec) && !ec) std::printf("(not found: every key takes its default)\n");
  const std::string sLocalPath = TValidate::GetLocalConfigFilePath();
  if (std::filesystem::exists(sLocalPath, ec)) std::printf("Site settings over it: %s\n", sLocalPath.c_str());
  std::string sError;
  const TValidate::TConfigRead_OPT tResult = TValidate::ReadConfiguration(&PrintConfigLine, &sError);
  if (tResult == TValidate::CONFIG_READ_FAILED) {
    std::fprintf(stderr, "Telvane: the configuration cannot be read: %s\n", Cp1252ToUtf8(sError).c_str());
    return EXIT_CHECK_UNREADABLE;
  }
  std::printf("Values in force (%s mode):\n", MyAppInfo.bIsService ? "service" : "window");
  for (const std::string& sLine : TValidate::ConfigValuesInForce()) std::printf("  %s\n", Cp1252ToUtf8(sLine).c_str());
  if (tResult == TValidate::CONFIG_READ_NOT_CONFIGURED) {
    std::printf("SERVERIP is empty: the relay would end at start-up.\n");
    return EXIT_CODE_NOT_CONFIGURED;  // as the service ends without a server address
  }
  const TValidate::TConfigFindings tFound = TValidate::ConfigFindings();
  if (tFound.nCorrected > 0 || tFound.nUnknown > 0) {
    std::printf("%d value(s) corrected, %d unknown key(s) or section(s): see the lines above.\n", tFound.nCorrected,
                tFound.nUnknown);
    return EXIT_CHECK_FINDINGS;
  }
  return EXIT_CHECK_OK;
}
