#include "ui/machine_list.h"

#include <lm.h>

#include <new>

#include "ui/window_records.h"
#include "inventory/platform.h"
#include "inventory/spooler_answer.h"
#include "ui/controls.h"

namespace kestrun {

namespace {

// Needs no construction or destruction, so it is safe at any point of the
// process's life, exit included.
SRWLOCK fetchLock = SRWLOCK_INIT;

constexpr int kMachineTextCapacity = 256;

class FetchTurn {
 public:
  FetchTurn() { ::AcquireSRWLockExclusive(&fetchLock); }
  ~FetchTurn() { ::ReleaseSRWLockExclusive(&fetchLock); }
  FetchTurn(const FetchTurn&) = delete;
  FetchTurn& operator=(const FetchTurn&) = delete;
};

}  // namespace

void ReleaseMachineList() {
  if (machineList == nullptr) return;
  if (machineList->servers) Platform().NetApiBufferFree(machineList->servers);
  delete machineList;
  machineList = nullptr;
}

bool FillMachineCombo() {
  if (machineList == nullptr) return false;
  MachineList& list = *machineList;
  DWORD resumeHandle = 0;
  const NET_API_STATUS status = Platform().NetServerEnum(
      nullptr, 100, reinterpret_cast<LPBYTE*>(&list.servers), MAX_PREFERRED_LENGTH,
      &list.entriesRead, &list.totalEntries, SV_TYPE_ALL, nullptr, &resumeHandle);
  if ((status != NERR_Success && status != ERROR_MORE_DATA) || list.servers == nullptr) {
    return false;
  }
  // The answer is checked before a name is read: a count the buffer cannot
  // hold lists nothing, a name outside it is left out.
  DWORD bytes = 0;
  if (Platform().NetApiBufferSize(list.servers, &bytes) != NERR_Success ||
      CheckAnswer(reinterpret_cast<BYTE*>(list.servers), bytes, list.entriesRead,
                  kServerInfo100Layout) != 0) {
    list.entriesRead = 0;
    return false;
  }
  for (DWORD i = 0; i < list.entriesRead; ++i) {
    if (list.servers[i].sv100_name == nullptr) continue;
    ::SendMessageW(machineCombo, CB_ADDSTRING, 0,
                   reinterpret_cast<LPARAM>(list.servers[i].sv100_name));
  }
  return true;
}

DWORD WINAPI FetchMachineList(LPVOID) {
  FetchTurn turn;
  ReleaseMachineList();
  machineList = new (std::nothrow) MachineList;
  if (machineList == nullptr) {
    ::MessageBoxW(nullptr,
                  L"Failed to enumerate systems on network due to a memory allocation failure!",
                  L"Kestrun", MB_ICONERROR);
    return 0;
  }
  // The list is refilled; the name in the box stays.
  wchar_t typed[kMachineTextCapacity] = {};
  ::GetWindowTextW(machineCombo, typed, kMachineTextCapacity);
  ::SendMessageW(machineCombo, CB_RESETCONTENT, 0, 0);
  ::SetWindowTextW(machineCombo, typed);
  FillMachineCombo();
  return 0;
}

}  // namespace kestrun
