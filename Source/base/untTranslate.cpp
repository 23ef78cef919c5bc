#include "base/untTranslate.h"

namespace {
int nCurrentLanguage = 0;           // set once during start-up, before any worker exists
std::string& TitleStorage() {
  static std::string* psTitle = new std::string();  // never freed, like every process-wide record
  return *psTitle;
}
}  // namespace

void SetCurrentLanguage(int nColumn) { nCurrentLanguage = nColumn == 0 ? 0 : 0; }
int CurrentLanguage() { return nCurrentLanguage; }
void SetApplicationTitle(const std::string& sTitle) { TitleStorage() = sTitle; }
const std::string& ApplicationTitle() { return TitleStorage(); }
