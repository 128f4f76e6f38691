// The service identity of unit test binaries that do not test the service
// entry itself: events they cause are reported under "ZELTEST".
#include "common/service.h"

const char *ThisServiceName() { return "ZELTEST"; }
const char *ThisServiceDisplayName() { return "ZEL Test"; }
const char *ThisServiceVersion() { return "0.0"; }
long InitThisService() { return 0; }
void TermThisService() {}
void UserControl(DWORD) {}
