#include "startup/untConfigCheck.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include "controller/untValidate.h"
#include "platform/untCodePage.h"
#include "startup/untVariables.h"

namespace {

constexpr int EXIT_CHECK_OK = 0;
constexpr int EXIT_CHECK_UNREADABLE = 1;
constexpr int EXIT_CHECK_NOT_CONFIGURED = 6;  // as the service ends without a server address

// A logged line on the terminal: UTF-8, and the message table's CRs as line breaks.
void PrintConfigLine(int, const std::string& sText) {
  std::string sShown = Cp1252ToUtf8(sText);
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
    return EXIT_CHECK_NOT_CONFIGURED;
  }
  return EXIT_CHECK_OK;
}
