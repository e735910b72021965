#include "ui/window_records.h"

namespace kestrun {

AppWindowState* appWindowState = nullptr;
SharedGuiFont* sharedGuiFont = nullptr;
SaveOptions* saveOptions = nullptr;
MachineList* machineList = nullptr;
CriticalSection* processLock = nullptr;
HICON appIcon = nullptr;

}  // namespace kestrun
