#include "report/target_report.h"

#include <new>
#include <utility>

#include "common/bounded_text.h"
#include "common/win32_handles.h"
#include "inventory/column_table.h"
#include "report/command_runs.h"
#include "report/console.h"
#include "report/fleet.h"

namespace kestrun {

namespace {

constexpr wchar_t kSeparatorLine[] = L"===========================================";

// The failure buffer holds the whole text: a long target is cut, never the
// line after it.
void PrintTargetFailure(std::wstring_view target, const std::wstring& line) {
  constexpr std::wstring_view kFrom = L"Failed to get print driver information from: ";
  const size_t room = kReportFailureCapacity - 1 - kFrom.size() - line.size();
  std::wstring text(kFrom);
  AppendShownText(text, target.substr(0, room));
  text += line;
  wchar_t failure[kReportFailureCapacity] = {};
  CopyBounded(failure, text);
  WriteConsoleRed(failure);
}

// The system's text for the code follows on its own line.
void PrintEnumerationFailure(std::wstring_view target, DWORD code) {
  PrintTargetFailure(target, L"\nError code: " + std::to_wstring(static_cast<int>(code)) + L"\n");
  WriteConsoleRed((SystemErrorText(code) + L"\n").c_str());
}

// One target's listing, on a thread of its own so that a target that never
// answers cannot hold the report. The report and the thread share the record,
// and the last of the two to let go of it frees it: a thread still inside its
// spooler call when the report gives up keeps what it uses.
struct TargetListing {
  std::wstring target;
  std::unique_ptr<DriverInventory> inventory;
  bool listed = false;
};

void ListTarget(TargetListing& listing) {
  listing.listed = EnumerateDrivers(*listing.inventory, listing.target);
}

DWORD WINAPI ListTargetThread(void* parameter) {
  const std::unique_ptr<std::shared_ptr<TargetListing>> listing(
      static_cast<std::shared_ptr<TargetListing>*>(parameter));
  ListTarget(**listing);
  return 0;
}

// False when the target did not answer within the limit (0: no limit).
bool ListWithinTimeLimit(const std::shared_ptr<TargetListing>& listing, unsigned limitSeconds) {
  auto* shared = new (std::nothrow) std::shared_ptr<TargetListing>(listing);
  const UniqueHandle thread(
      shared ? ::CreateThread(nullptr, 0, ListTargetThread, shared, 0, nullptr) : nullptr);
  if (!thread) {
    delete shared;
    ListTarget(*listing);  // no thread to spare: listed here, without the limit
    return true;
  }
  const DWORD waitMs = limitSeconds == 0 ? INFINITE : limitSeconds * 1000;
  return ::WaitForSingleObject(thread.get(), waitMs) == WAIT_OBJECT_0;
}

// Appends a label and a field's text; an absent field adds nothing after its label.
void AppendField(std::wstring& block, const wchar_t* label, const wchar_t* value) {
  block += label;
  if (value) AppendShownText(block, value);
}

// Ctrl+C, or closing the console, ends a single-machine report with exit code
// 1. An append in progress finishes first and none starts after it, so the
// log gains the report's whole append or nothing of it.
SRWLOCK reportAppendLock = SRWLOCK_INIT;

BOOL WINAPI EndReportOnCtrl(DWORD) {
  ::AcquireSRWLockExclusive(&reportAppendLock);  // held until the process ends
  RestoreConsoleModeNow();
  // Ended at once: the main thread may be inside a spooler call, and nothing
  // the log needs is left in a buffer (each append is written straight through).
  ::TerminateProcess(::GetCurrentProcess(), kExitFailed);
  return TRUE;
}

class ReportCtrlHandler {
 public:
  ReportCtrlHandler() { ::SetConsoleCtrlHandler(EndReportOnCtrl, TRUE); }
  ~ReportCtrlHandler() { ::SetConsoleCtrlHandler(EndReportOnCtrl, FALSE); }
  ReportCtrlHandler(const ReportCtrlHandler&) = delete;
  ReportCtrlHandler& operator=(const ReportCtrlHandler&) = delete;
};

DWORD AppendReportLog(CsvLog& log, std::string_view bytes, CsvEncoding encoding) {
  ::AcquireSRWLockExclusive(&reportAppendLock);
  // A new file's mark goes first, once, however many runs append to it at once.
  const DWORD error = log.AppendWhole(
      bytes, encoding == CsvEncoding::Utf8 ? kUtf8ByteOrderMark : std::string_view());
  ::ReleaseSRWLockExclusive(&reportAppendLock);
  return error;
}

// Enumerates the target and prints (and logs) every driver.
int ReportDrivers(const std::wstring& target, CsvLog* log, unsigned limitSeconds) {
  ReleaseInventory();
  const auto listing = std::make_shared<TargetListing>();
  listing->target = target;
  listing->inventory = CreateInventory();
  if (!listing->inventory) {
    WriteConsoleRed(L"Failed to enumerate due to a memory error!\r\n");
    return kExitFailed;
  }
  if (!ListWithinTimeLimit(listing, limitSeconds)) {
    PrintTargetFailure(target, L"\nno answer within " + std::to_wstring(limitSeconds) + L" s\n");
    return kExitFailed;
  }
  MakeCurrentInventory(std::move(listing->inventory));
  DriverInventory& inventory = *currentInventory;

  if (!listing->listed) {
    PrintEnumerationFailure(target, inventory.lastError);
    return kExitFailed;
  }
  return PrintAndLogDrivers(inventory, log);
}

}  // namespace

int RunReportRequest(const ReportRequest& request, std::unique_ptr<CsvLog>& log) {
  const ReportCtrlHandler ctrlHandler;
  if (!OpenLog(request.logPath, log)) return kExitFailed;
  BeginRunOutput();
  return ReportDrivers(request.target, log.get(), request.timeoutSeconds);
}

int PrintAndLogDrivers(DriverInventory& inventory, CsvLog* log) {
  // The run's header and rows reach the log as one locked append, so runs
  // that append to one log at once never interleave.
  std::string logBytes;
  CsvEncoding encoding = CsvEncoding::EightBit;
  if (log) {
    FillColumnTable();
    logBytes = CsvHeaderLine();
    encoding = EncodingOfLog(log->ReadStart(kUtf8ByteOrderMark.size()));
  }

  const DRIVER_INFO_6* drivers = inventory.Drivers();
  DriverFacts facts;
  for (DWORD i = 0; i < inventory.driverCount; ++i) {
    const DRIVER_INFO_6& driver = drivers[i];
    const std::unique_ptr<wchar_t[]> dependentFiles =
        JoinDependentFiles(inventory, driver.pDependentFiles);
    if (!dependentFiles) {
      const DWORD error =
          log ? AppendReportLog(*log, logBytes, encoding) : ERROR_SUCCESS;  // rows so far
      WriteConsoleRed(L"\r\nFailed to enumerate due to a memory error!\r\n");
      if (error != ERROR_SUCCESS) PrintLogWriteFailure(*log, error);
      return kExitFailed;
    }
    DescribeDriver(inventory, i, DateForm::Iso, facts);
    PrintDriverBlock(driver, dependentFiles.get(), &facts);
    if (log) AppendDriverRow(logBytes, driver, dependentFiles.get(), encoding);
  }

  WriteConsoleRed(L"\r\n");
  if (log) {
    const DWORD error = AppendReportLog(*log, logBytes, encoding);
    if (error != ERROR_SUCCESS) {
      PrintLogWriteFailure(*log, error);
      return kExitFailed;
    }
    WriteConsoleColored(kGreen, L"\r\n\r\nDriver output successfully written to file.\r\n");
  }
  return kExitOk;
}

DriverBlockText BuildDriverBlock(const DRIVER_INFO_6& driver, const wchar_t* dependentFiles,
                                 const DriverFacts* facts) {
  DriverBlockText block;
  block.separator = std::wstring(L"\r\n\r\n") + kSeparatorLine;
  AppendField(block.name, L"\r\nDriver Name: ", driver.pName);
  AppendField(block.fields, L"\r\nProvider: ", driver.pszProvider);
  AppendField(block.fields, L"\r\n\r\nDependent Files:\r\n", dependentFiles);
  AppendField(block.fields, L"\r\n\r\nEnvironment: ", driver.pEnvironment);
  AppendField(block.fields, L"\r\nDriver Path: ", driver.pDriverPath);
  AppendField(block.fields, L"\r\nData File: ", driver.pDataFile);
  AppendField(block.fields, L"\r\nConfig File: ", driver.pConfigFile);
  AppendField(block.fields, L"\r\nHelp File: ", driver.pHelpFile);
  AppendField(block.fields, L"\r\nMonitor Name: ", driver.pMonitorName);
  AppendField(block.fields, L"\r\nDefault Data Type: ", driver.pDefaultDataType);
  AppendField(block.fields, L"\r\nPrevious Names: ", driver.pszzPreviousNames);  // its first name
  AppendField(block.fields, L"\r\nManufacturer Name: ", driver.pszMfgName);
  AppendField(block.fields, L"\r\nOEM Url: ", driver.pszOEMUrl);
  AppendField(block.fields, L"\r\nHardware ID: ", driver.pszHardwareID);
  if (facts == nullptr) return block;
  static const wchar_t* const kFactLabels[kDriverFactCount] = {
      L"\r\nPrinters: ",    L"\r\nDriver Version: ", L"\r\nDriver Date: ",
      L"\r\nDriver Type: ", L"\r\nPackage-Aware: ",  L"\r\nDriver Package: ",
  };
  for (int fact = 0; fact < kDriverFactCount; ++fact) {
    AppendField(block.fields, kFactLabels[fact], (*facts)[fact].c_str());
  }
  return block;
}

void PrintDriverBlock(const DRIVER_INFO_6& driver, const wchar_t* dependentFiles,
                      const DriverFacts* facts) {
  // Runs of one colour go to the console as one write each: a console write
  // costs far more than the text it carries.
  const DriverBlockText block = BuildDriverBlock(driver, dependentFiles, facts);
  WriteConsoleRed(block.separator.c_str());
  WriteConsoleColored(kBlue, block.name.c_str());
  WriteConsoleColored(kRed, block.fields.c_str());
}

}  // namespace kestrun
