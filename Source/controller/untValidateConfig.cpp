// STUB: replaced by the configuration work.
#include "controller/untValidate.h"
TValidate* MyValidate = nullptr;
TValidate::TValidate() {}
TValidate::~TValidate() {}
std::string TValidate::GetLogDirectory() { return MyAppInfo.sAppFilePath + "Log"; }
std::string TValidate::GetAuditDirectory() { return GetLogDirectory(); }
std::string TValidate::GetConfigFilePath() { return MyAppInfo.sAppFilePath + "Lib/Config.ini"; }
