// STUB: replaced by the configuration work.
#include "startup/untIniFiles.h"
void TIniFile::Parse(std::string_view) {}
bool TIniFile::Load(const std::string&, std::string&) { return true; }
bool TIniFile::HasKey(const std::string&, const std::string&) const { return false; }
std::string TIniFile::ReadString(const std::string&, const std::string&, const std::string& s) const { return s; }
int32_t TIniFile::ReadInteger(const std::string&, const std::string&, int32_t n) const { return n; }
bool TIniFile::ReadBool(const std::string&, const std::string&, bool b) const { return b; }
int ShowAppMessage(int, const std::string&) { return 0; }
void SetNoticePresenter(TNoticePresenter) {}
