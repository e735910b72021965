// Thousands of mutated and random spooler answers, each checked and then read
// by everything that reads answers: classification, field text, the list
// fill, the command-line report, the CSV writers, the printer match, the
// printers' rows and lines, the port list, the TCP/IP monitor's answer and
// the machine list. Each answer ends where an inaccessible page begins and has one
// before it, so a read outside it ends the test with an access violation.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <lm.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "devices/device_verdict.h"
#include "devices/ipp_message.h"
#include "inventory/classification.h"
#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "inventory/snapshot_manifest.h"
#include "inventory/printers.h"
#include "inventory/queue_rows.h"
#include "inventory/spooler_answer.h"
#include "report/command_line.h"
#include "report/csv_log.h"
#include "report/queues.h"
#include "report/queues_log.h"
#include "tests/support/fake_spooler.h"
#include "inventory/column_table.h"
#include "ui/controls.h"
#include "ui/driver_list.h"

namespace kestrun {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kMaxAnswerBytes = 16 * kPage;

// Room for one answer between two inaccessible pages.
class GuardedBuffer {
 public:
  GuardedBuffer() {
    base_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, kMaxAnswerBytes + 2 * kPage,
                                              MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    ::VirtualProtect(base_, kPage, PAGE_NOACCESS, &old);
    ::VirtualProtect(base_ + kPage + kMaxAnswerBytes, kPage, PAGE_NOACCESS, &old);
  }
  ~GuardedBuffer() { ::VirtualFree(base_, 0, MEM_RELEASE); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  // Places `bytes` so that they end where the page after them begins (up to
  // seven bytes short, filled with non-zero bytes, for an aligned start).
  BYTE* Place(const std::vector<BYTE>& bytes) {
    const size_t room = (bytes.size() + 7) / 8 * 8;
    BYTE* start = End() - room;
    std::memset(start, 0xCC, room);
    std::memcpy(start, bytes.data(), bytes.size());
    return start;
  }
  BYTE* Before() const { return base_; }
  BYTE* End() const { return base_ + kPage + kMaxAnswerBytes; }

 private:
  BYTE* base_ = nullptr;
};

std::wstring RandomText(std::mt19937& random) {
  static const wchar_t kAlphabet[] = L"abcXYZ019 ,;\"\\\r\n\t\x1b\x7f\u00e9\u4e2d";
  const size_t length = std::uniform_int_distribution<size_t>(0, 40)(random) == 0
                            ? std::uniform_int_distribution<size_t>(200, 700)(random)
                            : std::uniform_int_distribution<size_t>(0, 20)(random);
  std::wstring text;
  for (size_t i = 0; i < length; ++i) {
    text += kAlphabet[std::uniform_int_distribution<size_t>(0, std::size(kAlphabet) - 2)(random)];
  }
  return text;
}

testing::OptionalText MaybeText(std::mt19937& random) {
  if (random() % 6 == 0) return std::nullopt;
  return RandomText(random);
}

testing::OptionalList MaybeList(std::mt19937& random) {
  if (random() % 5 == 0) return std::nullopt;
  std::vector<std::wstring> entries(random() % 5);
  for (auto& entry : entries) entry = L"C:\\D\\" + RandomText(random);
  return entries;
}

std::vector<testing::FakeDriver> RandomDrivers(std::mt19937& random) {
  std::vector<testing::FakeDriver> drivers(random() % 6);
  for (auto& d : drivers) {
    d.name = MaybeText(random);
    d.environment = MaybeText(random);
    d.driverPath = MaybeText(random);
    d.dataFile = MaybeText(random);
    d.configFile = MaybeText(random);
    d.helpFile = MaybeText(random);
    d.dependentFiles = MaybeList(random);
    d.monitorName = MaybeText(random);
    d.defaultDataType = MaybeText(random);
    d.previousNames = MaybeList(random);
    d.mfgName = MaybeText(random);
    d.oemUrl = MaybeText(random);
    d.hardwareId = MaybeText(random);
    d.provider = random() % 3 ? MaybeText(random) : testing::OptionalText(L"Microsoft");
    d.driverDate.dwHighDateTime = random() % 4 ? random() : kNativeDriverDateHigh;
  }
  return drivers;
}

// Mutates an answer the way a broken or hostile server might: bytes, string
// pointers, terminators, its length and its count.
void Mutate(std::mt19937& random, std::vector<BYTE>& bytes, DWORD& count,
            const RecordLayout& layout, const GuardedBuffer& guard) {
  const size_t mutations = random() % 6;
  for (size_t m = 0; m < mutations && !bytes.empty(); ++m) {
    const size_t at = random() % bytes.size();
    switch (random() % 6) {
      case 0:  // a byte
        bytes[at] = static_cast<BYTE>(random());
        break;
      case 1:  // a terminator or two gone
        for (size_t i = at & ~size_t{1}; i + 1 < bytes.size() && i < at + 64; i += 2) {
          if (bytes[i] == 0 && bytes[i + 1] == 0) {
            bytes[i] = 'x';
            break;
          }
        }
        break;
      case 2:
      case 3: {  // a string pointer, anywhere near or in the answer
        if (count == 0 || layout.textCount == 0) break;
        const size_t record = random() % count;
        const bool list = layout.listCount > 0 && random() % 3 == 0;
        const size_t offset = list ? layout.listOffsets[random() % layout.listCount]
                                   : layout.textOffsets[random() % layout.textCount];
        const size_t slot = record * layout.recordSize + offset;
        if (slot + sizeof(void*) > bytes.size()) break;
        uintptr_t value = 0;
        switch (random() % 4) {
          case 0:  // into the answer, maybe between characters (rebased below)
            value = 0x10000000 + random() % (bytes.size() + 16);
            break;
          case 1:
            value = reinterpret_cast<uintptr_t>(guard.Before()) + random() % kPage;
            break;
          case 2:
            value = reinterpret_cast<uintptr_t>(guard.End()) + random() % kPage;
            break;
          default:
            value = random();
        }
        std::memcpy(bytes.data() + slot, &value, sizeof(value));
        break;
      }
      case 4:  // shorter
        bytes.resize(at);
        break;
      default:  // another count
        count = random() % 3 ? static_cast<DWORD>(random() % (count + 4)) : random();
    }
  }
}

// Moves every pointer of the packed answer (laid out at `from`) to the
// answer's place in the guarded buffer; pointers marked "into the answer"
// by Mutate land on their offset there.
void Rebase(BYTE* placed, size_t bytes, DWORD count, const RecordLayout& layout, const BYTE* from) {
  const size_t records = std::min<size_t>(count, bytes / layout.recordSize);
  for (size_t r = 0; r < records; ++r) {
    for (size_t list = 0; list < 2; ++list) {
      const size_t fields = list ? layout.listCount : layout.textCount;
      const size_t* offsets = list ? layout.listOffsets : layout.textOffsets;
      for (size_t f = 0; f < fields; ++f) {
        BYTE* slot = placed + r * layout.recordSize + offsets[f];
        uintptr_t value = 0;
        std::memcpy(&value, slot, sizeof(value));
        const auto origin = reinterpret_cast<uintptr_t>(from);
        if (value >= origin && value < origin + kMaxAnswerBytes) {
          value = reinterpret_cast<uintptr_t>(placed) + (value - origin);
        } else if (value >= 0x10000000 && value < 0x10000000 + kMaxAnswerBytes) {
          value = reinterpret_cast<uintptr_t>(placed) + (value - 0x10000000);
        }
        std::memcpy(slot, &value, sizeof(value));
      }
    }
  }
}

// Everything that reads a checked driver answer.
void ReadDrivers(BYTE* answer, DWORD count, bool fillList) {
  DriverInventory inventory;
  ResetInventory(inventory);
  inventory.drivers.reset(answer);  // borrowed: released below, never freed here
  inventory.driverCount = count;
  const auto* drivers = inventory.Drivers();
  std::string csv;
  for (DWORD i = 0; i < count; ++i) {
    IsNonNativeDriver(drivers[i]);
    const auto line = JoinDependentFiles(inventory, drivers[i].pDependentFiles);
    ASSERT_NE(line, nullptr);
    PrintDriverBlock(drivers[i], line.get());
    AppendDriverRow(csv, drivers[i], line.get());
  }
  ClassifyDrivers(inventory);
  if (fillList) {
    ASSERT_TRUE(FillDriverRows(inventory));
    static wchar_t cells[kColumnCount][320];
    const wchar_t* texts[kColumnCount];
    for (int c = 0; c < kColumnCount; ++c) texts[c] = cells[c];
    for (int row = 0; row < ListRowCount(); ++row) {
      for (int c = kFirstFieldColumn; c <= kLastFieldColumn; ++c) {
        ReadListCell(listView, row, c, cells[c], 320);
      }
      const int choices[kColumnCount] = {0, 1, 0, 1, 1, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1};
      AppendListRow(csv, texts, row % 2 == 0, choices);
    }
  }
  inventory.drivers.release();
}

// The printers' rows, read from a checked printer answer with drivers to match.
void ReadPrinters(BYTE* answer, DWORD count, std::mt19937& random) {
  DriverInventory inventory;
  ResetInventory(inventory);
  const auto drivers = RandomDrivers(random);
  std::vector<BYTE> driverBytes(testing::DriverBufferSize(drivers) + 8);
  testing::PackDrivers(drivers, driverBytes.data());
  inventory.drivers.reset(driverBytes.data());  // borrowed, as the answer is
  inventory.driverCount = static_cast<DWORD>(drivers.size());
  inventory.printers.reset(answer);
  inventory.printerCount = count;
  inventory.isRemote = random() % 2 == 0;
  std::string csv;
  std::wstring lines;
  for (const QueueRow& row : DescribeQueues(inventory).rows) {
    AppendQueueRow(csv, L"SRV", row.cells, row.reason);
    AppendQueueLine(lines, row);
  }
  inventory.printers.release();
  inventory.drivers.release();
}

// A "GetConfigInfo" answer: the monitor's own bytes, mutated, or noise, of
// any length, and any count of bytes it says it wrote.
std::vector<BYTE> RandomPortData(std::mt19937& random, DWORD& written) {
  PortData1 data = {};
  data.dwVersion = random() % 8 ? 1 : random();
  data.dwProtocol = random() % 3;
  const std::wstring host = RandomText(random).substr(0, 60);
  std::wmemcpy(data.sztHostAddress, host.c_str(), std::min<size_t>(host.size(), 49));
  const std::wstring queue = RandomText(random).substr(0, 40);
  std::wmemcpy(data.sztQueue, queue.c_str(), std::min<size_t>(queue.size(), 33));
  data.dwPortNumber = random() % 4 ? random() % 70000 : random();
  std::vector<BYTE> bytes(sizeof(data));
  std::memcpy(bytes.data(), &data, sizeof(data));
  if (random() % 4 == 0) {
    for (BYTE& b : bytes) b = static_cast<BYTE>(random());
  }
  bytes.resize(random() % 5 ? sizeof(data) : random() % (2 * sizeof(data)));
  written = random() % 3 ? static_cast<DWORD>(bytes.size()) : random() % (2 * sizeof(data));
  return bytes;
}

TEST(FuzzedAnswers, NothingReadsOutsideACheckedAnswer) {
  GuardedBuffer guard;
  FillColumnTable();
  const HWND parent = ::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 400, 300, nullptr,
                                        nullptr, nullptr, nullptr);
  listView = CreateDriverListView(parent, RECT{0, 0, 400, 300});
  InsertColumns();

  std::mt19937 random(20261208);
  size_t checked = 0;
  for (int round = 0; round < 5000; ++round) {
    const int kind = round % 5;
    if (kind == 4) {
      DWORD written = 0;
      const std::vector<BYTE> bytes = RandomPortData(random, written);
      std::wstring address;
      if (ReadPortData1(guard.Place(bytes), bytes.size(), written, address) == 0) {
        EXPECT_FALSE(address.empty());
      }
      continue;
    }
    const RecordLayout& layout = kind == 0   ? kDriverInfo6Layout
                                 : kind == 1 ? kPrinterInfo2Layout
                                 : kind == 2 ? kServerInfo100Layout
                                             : kPortInfo2Layout;
    std::vector<BYTE> bytes;
    DWORD count = 0;
    if (kind == 3) {
      std::vector<testing::FakePort> ports(random() % 6);
      for (auto& p : ports) p = {RandomText(random), RandomText(random)};
      bytes.resize(testing::PortBufferSize(ports));
      testing::PackPorts(ports, bytes.data());
      count = static_cast<DWORD>(ports.size());
    } else if (kind == 0) {
      const auto drivers = RandomDrivers(random);
      bytes.resize(testing::DriverBufferSize(drivers));
      testing::PackDrivers(drivers, bytes.data());
      count = static_cast<DWORD>(drivers.size());
    } else if (kind == 1) {
      std::vector<testing::FakePrinter> printers(random() % 6);
      for (auto& p : printers) {
        p = {RandomText(random), RandomText(random), RandomText(random)};
        p.shareName = RandomText(random);
        if (random() % 4 == 0) p.name = L"\\\\OTHER\\" + p.name;  // a connection
      }
      bytes.resize(testing::PrinterBufferSize(L"\\\\SRV", printers));
      testing::PackPrinters(L"\\\\SRV", printers, bytes.data());
      count = static_cast<DWORD>(printers.size());
    } else {
      count = random() % 6;
      std::vector<std::wstring> names(count);
      size_t chars = 0;
      for (auto& name : names) chars += (name = RandomText(random)).size() + 1;
      bytes.resize(count * sizeof(SERVER_INFO_100) + chars * sizeof(wchar_t));
      auto* records = reinterpret_cast<SERVER_INFO_100*>(bytes.data());
      auto* text = reinterpret_cast<wchar_t*>(bytes.data() + count * sizeof(SERVER_INFO_100));
      for (DWORD i = 0; i < count; ++i) {
        records[i].sv100_name = text;
        std::wmemcpy(text, names[i].c_str(), names[i].size() + 1);
        text += names[i].size() + 1;
      }
    }
    const BYTE* packedAt = bytes.data();  // the strings' origin; shrinking keeps it
    Mutate(random, bytes, count, layout, guard);
    if (bytes.size() > kMaxAnswerBytes) bytes.resize(kMaxAnswerBytes);
    BYTE* answer = guard.Place(bytes);
    Rebase(answer, bytes.size(), count, layout, packedAt);

    if (CheckAnswer(answer, bytes.size(), count, layout) != 0) continue;
    ++checked;
    if (kind == 0) {
      ReadDrivers(answer, count, round % 8 == 0);
    } else if (kind == 1) {
      DeletionPlan plan;
      plan.targetName = L"\\\\SRV";
      plan.isRemote = true;
      plan.serverEnvironment = L"Windows x64";
      plan.drivers.push_back({RandomText(random), L"Windows x64"});
      MatchPrinters(plan, reinterpret_cast<const PRINTER_INFO_2W*>(answer), count);
      ReadPrinters(answer, count, random);
    } else if (kind == 3) {
      const auto* ports = reinterpret_cast<const PORT_INFO_2W*>(answer);
      PortIndex index(ports, count);
      for (DWORD i = 0; i < count; ++i) {
        if (ports[i].pPortName) {
          EXPECT_NE(index.Find(ports[i].pPortName), nullptr);
        }
      }
    } else {
      const auto* servers = reinterpret_cast<const SERVER_INFO_100*>(answer);
      for (DWORD i = 0; i < count; ++i) {
        if (servers[i].sv100_name) std::wstring name = servers[i].sv100_name;
      }
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_GT(checked, 1500u) << "most answers should get through the check";
  ::DestroyWindow(parent);
  listView = nullptr;
}

// A device's answer: groups of attributes, the probed ones among others,
// values of every kind, collections nested at random.
std::vector<BYTE> RandomIppAnswer(std::mt19937& random) {
  std::vector<BYTE> b = {static_cast<BYTE>(random() % 8 ? 2 : random() % 4),
                         0,
                         0,
                         static_cast<BYTE>(random() % 8 ? 0 : random()),
                         0,
                         0,
                         0,
                         1,
                         0x04};
  const auto field = [&](const std::string& bytes) {
    b.push_back(static_cast<BYTE>(bytes.size() >> 8));
    b.push_back(static_cast<BYTE>(bytes.size()));
    b.insert(b.end(), bytes.begin(), bytes.end());
  };
  static const BYTE kTags[] = {0x13, 0x21, 0x22, 0x30, 0x35, 0x36,
                               0x41, 0x42, 0x44, 0x45, 0x49, 0x7F};
  int depth = 0;
  for (size_t n = random() % 40; n > 0; --n) {
    if (random() % 6 == 0) b.push_back(static_cast<BYTE>(1 + random() % 5));
    if (depth > 0 && random() % 3 == 0) {
      b.push_back(0x37), field(""), field(""), --depth;
      continue;
    }
    const bool open = random() % 6 == 0;
    b.push_back(open ? 0x34 : kTags[random() % std::size(kTags)]);
    std::string name;
    if (depth == 0 && random() % 3) {
      name = random() % 2 ? kProbedAttributes[random() % kProbedAttributeCount] : "x-other";
    }
    field(name);
    std::string value;
    for (size_t i = random() % 24; i > 0; --i)
      value += static_cast<char>(random() % 3 ? 'a' + random() % 26 : random());
    field(open ? "" : value);
    depth += open;
  }
  while (depth-- > 0) b.push_back(0x37), field(""), field("");
  b.push_back(0x03);
  return b;
}

TEST(FuzzedAnswers, NoDeviceAnswerIsReadOutsideItsBytes) {
  GuardedBuffer guard;
  std::mt19937 random(20261209);
  size_t read = 0;
  for (int round = 0; round < 20000; ++round) {
    std::vector<BYTE> bytes = RandomIppAnswer(random);
    for (size_t m = round % 2 ? random() % 5 : 0; m > 0 && !bytes.empty(); --m) {
      const size_t at = random() % bytes.size();
      switch (random() % 4) {
        case 0:  // a byte
          bytes[at] = static_cast<BYTE>(random());
          break;
        case 1:  // shorter
          bytes.resize(at);
          break;
        case 2:  // a length field, anywhere
          if (at + 1 < bytes.size()) bytes[at] = 0xFF, bytes[at + 1] = static_cast<BYTE>(random());
          break;
        default:  // random bytes inserted
          bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), random() % 16,
                       static_cast<BYTE>(random()));
      }
    }
    if (bytes.size() > kMaxAnswerBytes) bytes.resize(kMaxAnswerBytes);
    BYTE* answer = guard.End() - bytes.size();  // its last byte touches the guard page
    std::memcpy(answer, bytes.data(), bytes.size());
    DeviceProbe probe;
    probe.probed = true;
    if (ReadPrinterAttributes(answer, bytes.size(), probe.attributes) != IppReadError::None)
      continue;
    ++read;
    DeviceVerdictOf(probe, 5, L"");
    DeviceModelText(probe);
  }
  EXPECT_GT(read, 2000u) << "enough answers should be read whole";
}

}  // namespace
}  // namespace kestrun

namespace kestrun {
namespace {

// A snapshot folder is untrusted input too: its manifest, mutated and at
// random, is refused or read, never read past its end.
TEST(FuzzedAnswers, NoManifestReadsOutsideItself) {
  Snapshot sample;
  sample.machine = L"SRVA";
  sample.targetName = L"\\\\SRVA";
  sample.isRemote = true;
  sample.drivers.resize(2);
  sample.drivers[0].name = L"Acme \u00c9";
  sample.drivers[1].name = L"Beta";
  for (SnapshotDriver& driver : sample.drivers) driver.environment = L"Windows x64";
  sample.files.push_back({0, kNoOwner, L"drivers\\x64\\3\\A.DLL", L"C:\\A.DLL", 1, std::string(64, '0')});
  sample.printers.resize(1);
  sample.printers[0].name = L"Lobby";
  sample.printers[0].devMode.assign(sizeof(DEVMODEW), 0);
  sample.printers[0].devMode[offsetof(DEVMODEW, dmSize)] = sizeof(DEVMODEW);
  sample.printers[0].data.push_back({L"k", L"n", REG_SZ, {0x41, 0}});
  const std::string valid = ManifestText(sample);
  GuardedBuffer guarded;
  std::mt19937 random(20261209);
  size_t read = 0;
  for (int round = 0; round < 20000; ++round) {
    std::vector<BYTE> bytes(valid.begin(), valid.end());
    const int mutations = 1 + static_cast<int>(random() % 8);
    for (int m = 0; m < mutations && !bytes.empty(); ++m) {
      const size_t at = random() % bytes.size();
      switch (random() % 4) {
        case 0: bytes[at] = static_cast<BYTE>(random()); break;
        case 1: bytes.resize(at); break;
        case 2: bytes.insert(bytes.begin() + static_cast<long>(at), static_cast<BYTE>("\t=\\\r\n0a"[random() % 7])); break;
        default: bytes.erase(bytes.begin() + static_cast<long>(at)); break;
      }
    }
    if (round % 10 == 0) {  // now and then noise alone
      bytes.resize(random() % 512);
      for (BYTE& b : bytes) b = static_cast<BYTE>(random());
    }
    if (bytes.size() > kMaxAnswerBytes) bytes.resize(kMaxAnswerBytes);
    const BYTE* placed = guarded.Place(bytes);
    Snapshot snapshot;
    std::wstring problem;
    if (ReadManifest(std::string_view(reinterpret_cast<const char*>(placed), bytes.size()), snapshot,
                     problem)) {
      ++read;
      for (const SnapshotFile& file : snapshot.files) EXPECT_TRUE(IsPathInside(file.stored));
    } else {
      EXPECT_EQ(problem.rfind(L"line ", 0), 0u);
    }
  }
  EXPECT_GT(read, 0u) << "some mutations keep a manifest whole";
}

}  // namespace
}  // namespace kestrun
