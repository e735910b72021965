// Installs sample print drivers into the spooler of the machine it runs on
// (meant for a Wine prefix), through the spooler's own AddPrinterDriverExW, so
// Kestrun has real drivers to list. Usage: seed_wine_drivers [count] [printer]
// With "printer", also adds a printer on the first driver.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

const wchar_t* const kNames[] = {
    L"Contoso LaserJet 4200 PCL6",    L"Contoso LaserJet 4200 PS",  L"Contoso ColorJet 550",
    L"Fabrikam Imagewriter II",       L"Fabrikam Inkjet 990",       L"Fabrikam Label 220",
    L"Tailspin Office 3100 PCL5e",    L"Tailspin Office 3100 PS3",  L"Northwind Plotter 24",
    L"Northwind Plotter 36 HP-GL/2",  L"Adatum Receipt 80mm",       L"Adatum Dot Matrix 9-pin",
    L"Litware Photo 6 Color",         L"Litware Mono Laser 12",     L"Proseware Wide Format",
    L"Proseware Duplex 40 ppm",       L"Wingtip Thermal 4x6",       L"Wingtip Card Printer",
    L"Woodgrove Check Printer MICR",  L"Coho Universal Class Driver",
};

bool PlaceFile(const std::wstring& folder, const std::wstring& name) {
  const std::wstring path = folder + L"\\" + name;
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  ::WriteFile(file, "sample driver file", 18, &written, nullptr);
  ::CloseHandle(file);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int count = argc > 1 ? _wtoi(argv[1]) : 20;
  const bool withPrinter = argc > 2 && std::wcscmp(argv[2], L"printer") == 0;

  wchar_t folder[MAX_PATH] = {};
  DWORD needed = 0;
  wchar_t environment[] = L"Windows x64";
  if (!::GetPrinterDriverDirectoryW(nullptr, environment, 1, reinterpret_cast<BYTE*>(folder),
                                    sizeof(folder), &needed)) {
    std::fwprintf(stderr, L"GetPrinterDriverDirectoryW failed: %lu\n", ::GetLastError());
    return 1;
  }
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    const std::wstring name = kNames[i % std::size(kNames)] +
                              (i < static_cast<int>(std::size(kNames)) ? std::wstring()
                                                                        : L" #" + std::to_wstring(i));
    const std::wstring tag = std::to_wstring(i);
    std::wstring driverFile = L"SMPL" + tag + L".DLL";
    std::wstring dataFile = L"SMPL" + tag + L".GPD";
    std::wstring configFile = L"SMPLUI" + tag + L".DLL";
    std::wstring helpFile = L"SMPL" + tag + L".HLP";
    std::wstring dependent = L"SMPLRES" + tag + L".DLL";
    for (const auto* file : {&driverFile, &dataFile, &configFile, &helpFile, &dependent}) {
      PlaceFile(folder, *file);
    }
    std::wstring dependentList = dependent + L'\0' + L'\0';
    std::wstring nameCopy = name;
    std::wstring environmentText = environment;
    std::wstring dataType = L"RAW";
    const std::wstring base = std::wstring(folder) + L"\\";
    std::wstring driverPath = base + driverFile, dataPath = base + dataFile,
                 configPath = base + configFile, helpPath = base + helpFile;

    DRIVER_INFO_6W info = {};
    info.cVersion = 3;
    info.pName = nameCopy.data();
    info.pEnvironment = environmentText.data();
    info.pDriverPath = driverPath.data();
    info.pDataFile = dataPath.data();
    info.pConfigFile = configPath.data();
    info.pHelpFile = helpPath.data();
    info.pDependentFiles = dependentList.data();
    info.pDefaultDataType = dataType.data();
    if (!::AddPrinterDriverExW(nullptr, 6, reinterpret_cast<BYTE*>(&info), APD_COPY_NEW_FILES)) {
      std::fwprintf(stderr, L"AddPrinterDriverExW(%ls) failed: %lu\n", name.c_str(),
                    ::GetLastError());
      ++failures;
    }
  }

  if (withPrinter && count > 0) {
    std::wstring printerName = L"Front Desk Printer";
    std::wstring driverName = kNames[0];
    std::wstring port = L"FILE:";
    std::wstring processor = L"winprint";
    std::wstring datatype = L"RAW";  // Wine's spooler cannot open a printer without one
    PRINTER_INFO_2W printer = {};
    printer.pPrinterName = printerName.data();
    printer.pDriverName = driverName.data();
    printer.pPortName = port.data();
    printer.pPrintProcessor = processor.data();
    printer.pDatatype = datatype.data();
    HANDLE added = ::AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&printer));
    if (added == nullptr) {
      std::fwprintf(stderr, L"AddPrinterW failed: %lu\n", ::GetLastError());
      ++failures;
    } else {
      ::ClosePrinter(added);
    }
  }
  return failures == 0 ? 0 : 1;
}
