// Answers of broken or hostile servers: what Kestrun keeps of them, and that
// nothing it keeps reaches outside the buffer the answer came in.
#include <gtest/gtest.h>

#include <windows.h>
#include <lm.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/spooler_answer.h"
#include "tests/support/fake_spooler.h"

namespace kestrun {
namespace {

using testing::FakeSpooler;

constexpr ptrdiff_t kAbsent = -1;
constexpr ptrdiff_t kBeforeBuffer = -2;
constexpr ptrdiff_t kPastEnd = -3;
constexpr ptrdiff_t kMisaligned = -4;

// One level-6 record followed by the characters of `tail`; the name and the
// dependent files point at character offsets of the tail (or elsewhere).
struct Crafted {
  std::vector<BYTE> bytes;

  Crafted(const std::wstring& tail, ptrdiff_t nameAt, ptrdiff_t filesAt)
      : bytes(sizeof(DRIVER_INFO_6) + tail.size() * sizeof(wchar_t)) {
    std::copy(tail.begin(), tail.end(),
              reinterpret_cast<wchar_t*>(bytes.data() + sizeof(DRIVER_INFO_6)));
    Record().pName = Place(nameAt);
    Record().pDependentFiles = Place(filesAt);
  }
  DRIVER_INFO_6& Record() { return *reinterpret_cast<DRIVER_INFO_6*>(bytes.data()); }
  wchar_t* Place(ptrdiff_t at) {
    BYTE* tail = bytes.data() + sizeof(DRIVER_INFO_6);
    switch (at) {
      case kAbsent:
        return nullptr;
      case kBeforeBuffer:
        return reinterpret_cast<wchar_t*>(bytes.data() - 64);
      case kPastEnd:
        return reinterpret_cast<wchar_t*>(bytes.data() + bytes.size());
      case kMisaligned:
        return reinterpret_cast<wchar_t*>(tail + 1);
      default:
        return reinterpret_cast<wchar_t*>(tail + at * sizeof(wchar_t));
    }
  }
  DWORD Check(DWORD count = 1) {
    return CheckAnswer(bytes.data(), bytes.size(), count, kDriverInfo6Layout);
  }
};

TEST(SpoolerAnswers, AStringIsKeptOnlyWhenItLiesInsideTheBufferAndEndsThere) {
  using namespace std::string_literals;
  const struct {
    const char* what;
    std::wstring tail;
    ptrdiff_t nameAt;
    ptrdiff_t filesAt;
    bool nameKept;
    bool filesKept;
  } cases[] = {
      {"plain strings", L"ab\0c\0\0"s, 0, 3, true, true},
      {"a name before the buffer", L"ab\0"s, kBeforeBuffer, kAbsent, false, false},
      {"a name just past its end", L"ab\0"s, kPastEnd, kAbsent, false, false},
      {"a name between two characters", L"ab\0"s, kMisaligned, kAbsent, false, false},
      {"a name without its terminator", L"ab"s, 0, kAbsent, false, false},
      {"a name whose terminator is the last character", L"ab\0"s, 2, kAbsent, true, false},
      {"a list ended by its empty string at the very end", L"a\0b\0\0"s, kAbsent, 0, false, true},
      {"a list without its empty string", L"a\0b\0"s, kAbsent, 0, false, false},
      {"an empty list", L"\0"s, kAbsent, 0, false, true},
      {"a list that starts at its last terminator", L"x\0\0"s, kAbsent, 2, false, true},
      {"a list running into the end", L"xyz"s, kAbsent, 1, false, false},
      {"both fields on the same characters", L"a\0\0"s, 0, 0, true, true},
      {"a list past the end", L"a\0\0"s, kAbsent, kPastEnd, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Crafted answer(c.tail, c.nameAt, c.filesAt);
    ASSERT_EQ(answer.Check(), 0u);
    EXPECT_EQ(answer.Record().pName != nullptr, c.nameKept);
    EXPECT_EQ(answer.Record().pDependentFiles != nullptr, c.filesKept);
  }

  // Strings longer than the scan's blocks, many fields on one string.
  const std::wstring longText(1000, L'x');
  Crafted shared(longText + L'\0' + longText, 0, 0);
  shared.Record().pszProvider = shared.Place(500);
  shared.Record().pHelpFile = shared.Place(1001);  // the second run has no terminator
  ASSERT_EQ(shared.Check(), 0u);
  EXPECT_NE(shared.Record().pName, nullptr);
  EXPECT_NE(shared.Record().pszProvider, nullptr);
  EXPECT_EQ(shared.Record().pDependentFiles, nullptr) << "one terminator is no list's end";
  EXPECT_EQ(shared.Record().pHelpFile, nullptr);
}

TEST(SpoolerAnswers, ACountTheBytesCannotHoldIsInvalidData) {
  Crafted answer(L"ab\0", 0, kAbsent);
  EXPECT_EQ(answer.Check(0), 0u);
  EXPECT_EQ(answer.Check(1), 0u);
  EXPECT_EQ(answer.Check(2), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(answer.Check(0xFFFFFFFF), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(CheckAnswer(nullptr, 0, 1, kPrinterInfo2Layout), static_cast<DWORD>(ERROR_INVALID_DATA));

  // Printer and server records: a name outside goes, the record stays.
  std::vector<BYTE> servers(sizeof(SERVER_INFO_100) * 2 + 8, 0);
  auto* records = reinterpret_cast<SERVER_INFO_100*>(servers.data());
  records[0].sv100_name = reinterpret_cast<wchar_t*>(servers.data() + 2 * sizeof(SERVER_INFO_100));
  records[1].sv100_name = reinterpret_cast<wchar_t*>(servers.data() + servers.size() + 2);
  std::memcpy(records[0].sv100_name, L"SRV", 8);
  EXPECT_EQ(CheckAnswer(servers.data(), servers.size(), 2, kServerInfo100Layout), 0u);
  EXPECT_STREQ(records[0].sv100_name, L"SRV");
  EXPECT_EQ(records[1].sv100_name, nullptr);
  EXPECT_EQ(CheckAnswer(servers.data(), servers.size(), 3, kServerInfo100Layout),
            static_cast<DWORD>(ERROR_INVALID_DATA));
}

class BrokenServer : public ::testing::Test {
 protected:
  void SetUp() override {
    machine().drivers = testing::SampleDrivers();
    machine().printers = {testing::FakePrinter{L"Office", L"Generic / Text Only"}};
    machine().packageListError = ERROR_INVALID_LEVEL;  // the tampering reads level-6 records
    spooler.Install();
    ResetInventory(inventory);
  }
  void TearDown() override { FakeSpooler::Uninstall(); }
  testing::FakeMachine& machine() { return spooler.machines[L"\\\\SRV"]; }

  FakeSpooler spooler;
  DriverInventory inventory;
};

TEST_F(BrokenServer, ASizingCallThatSucceedsMeansNoRecordsWhateverItsCount) {
  // Drivers: none. Printers: a list that claims printers it does not hand
  // over cannot tell which drivers they use, so it is no list.
  machine().driverTampering.sizingSuccessCount = 3;
  machine().printerTampering.sizingSuccessCount = 3;
  ASSERT_TRUE(EnumerateDrivers(inventory, L"SRV"));
  EXPECT_EQ(inventory.driverCount, 0u);
  EXPECT_EQ(inventory.drivers, nullptr);

  std::unique_ptr<BYTE[]> printers;
  DWORD count = 9;
  DWORD error = 0;
  EXPECT_FALSE(EnumeratePrinters(L"\\\\SRV", printers, count, error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(inventory.printerUse, nullptr);
  EXPECT_EQ(inventory.printerError, static_cast<DWORD>(ERROR_INVALID_DATA));
  // Drivers refused at level 8, then sized at level 6; the listing's printers and these sized.
  EXPECT_EQ(spooler.Calls().size(), 4u) << "no second call";
}

TEST_F(BrokenServer, ACountTheAnswerCannotHoldFailsTheCallWithInvalidData) {
  machine().driverTampering.answer = [](BYTE*, DWORD, DWORD& returned) { returned = 1000; };
  machine().printerTampering.answer = [](BYTE*, DWORD, DWORD& returned) { returned = 0x7FFFFFFF; };
  EXPECT_FALSE(EnumerateDrivers(inventory, L"SRV"));
  EXPECT_EQ(inventory.lastError, static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(inventory.driverCount, 0u);

  std::unique_ptr<BYTE[]> printers;
  DWORD count = 0;
  DWORD error = 0;
  EXPECT_FALSE(EnumeratePrinters(L"\\\\SRV", printers, count, error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(count, 0u);
}

TEST_F(BrokenServer, AnAnswerOver256MiBIsRefusedBeforeAnyByteIsHeld) {
  for (const DWORD asked : {DWORD{kMaxSpoolerAnswerBytes + 1}, DWORD{0xFFFFFFFF}}) {
    spooler.calls.clear();
    machine().driverTampering.askedBytes = asked;
    DriverInventory huge;
    ResetInventory(huge);
    EXPECT_FALSE(EnumerateDrivers(huge, L"SRV"));
    EXPECT_EQ(huge.lastError, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(huge.drivers, nullptr);
    EXPECT_EQ(spooler.Calls().size(), 2u);  // level 8 refused, level 6 sized
  }
}

TEST_F(BrokenServer, AFieldPointingOutsideIsAbsentAndTheRestOfTheRecordIsKept) {
  machine().driverTampering.answer = [](BYTE* buffer, DWORD size, DWORD&) {
    auto* drivers = reinterpret_cast<DRIVER_INFO_6*>(buffer);
    drivers[0].pName = reinterpret_cast<wchar_t*>(buffer + size + 4096);
    drivers[1].pszProvider = reinterpret_cast<wchar_t*>(buffer - 4096);
    drivers[4].pszzPreviousNames = drivers[4].pszProvider;
    // The last string of the answer loses its terminator.
    reinterpret_cast<wchar_t*>(buffer + size)[-1] = L'x';
  };
  ASSERT_TRUE(EnumerateDrivers(inventory, L"SRV"));
  ASSERT_EQ(inventory.driverCount, 5u);
  const DRIVER_INFO_6* drivers = inventory.Drivers();
  EXPECT_EQ(drivers[0].pName, nullptr);
  EXPECT_STREQ(drivers[0].pszProvider, L"Microsoft");
  EXPECT_EQ(drivers[1].pszProvider, nullptr);
  EXPECT_STREQ(drivers[1].pName, L"Norvex Universal Print Class Driver");
  EXPECT_STREQ(drivers[2].pName, L"Contoso LaserJet 4200 PCL6");
  EXPECT_NE(drivers[2].pDependentFiles, nullptr);
  EXPECT_EQ(drivers[4].pszProvider, nullptr);  // the last string of all
  EXPECT_EQ(drivers[4].pszzPreviousNames, nullptr);
  EXPECT_STREQ(drivers[4].pszHardwareID, L"example_printer_1234");
}

}  // namespace
}  // namespace kestrun
