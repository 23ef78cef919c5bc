// STUB: replaced by the service host work.
#include "hosting/untTelvaneService.h"
void TsrvTelvane::ServiceStart() {}
void TsrvTelvane::ServiceStop() {}
void TsrvTelvane::ServiceAfterInstall() {}
int RunServiceHost(int, char**) { return 0; }
