#include "inventory/spooler_answer.h"

#include <lm.h>
#include <winspool.h>

#include <cstdint>
#include <iterator>
#include <new>
#include <vector>

namespace kestrun {

namespace {

const size_t kDriver6Texts[] = {
    offsetof(DRIVER_INFO_6W, pName),          offsetof(DRIVER_INFO_6W, pEnvironment),
    offsetof(DRIVER_INFO_6W, pDriverPath),    offsetof(DRIVER_INFO_6W, pDataFile),
    offsetof(DRIVER_INFO_6W, pConfigFile),    offsetof(DRIVER_INFO_6W, pHelpFile),
    offsetof(DRIVER_INFO_6W, pMonitorName),   offsetof(DRIVER_INFO_6W, pDefaultDataType),
    offsetof(DRIVER_INFO_6W, pszMfgName),     offsetof(DRIVER_INFO_6W, pszOEMUrl),
    offsetof(DRIVER_INFO_6W, pszHardwareID),  offsetof(DRIVER_INFO_6W, pszProvider),
};
const size_t kDriver6Lists[] = {
    offsetof(DRIVER_INFO_6W, pDependentFiles),
    offsetof(DRIVER_INFO_6W, pszzPreviousNames),
};

const size_t kDriver8Texts[] = {
    offsetof(DRIVER_INFO_8W, pName),          offsetof(DRIVER_INFO_8W, pEnvironment),
    offsetof(DRIVER_INFO_8W, pDriverPath),    offsetof(DRIVER_INFO_8W, pDataFile),
    offsetof(DRIVER_INFO_8W, pConfigFile),    offsetof(DRIVER_INFO_8W, pHelpFile),
    offsetof(DRIVER_INFO_8W, pMonitorName),   offsetof(DRIVER_INFO_8W, pDefaultDataType),
    offsetof(DRIVER_INFO_8W, pszMfgName),     offsetof(DRIVER_INFO_8W, pszOEMUrl),
    offsetof(DRIVER_INFO_8W, pszHardwareID),  offsetof(DRIVER_INFO_8W, pszProvider),
    offsetof(DRIVER_INFO_8W, pszPrintProcessor), offsetof(DRIVER_INFO_8W, pszVendorSetup),
    offsetof(DRIVER_INFO_8W, pszInfPath),
};
const size_t kDriver8Lists[] = {
    offsetof(DRIVER_INFO_8W, pDependentFiles),
    offsetof(DRIVER_INFO_8W, pszzPreviousNames),
    offsetof(DRIVER_INFO_8W, pszzColorProfiles),
    offsetof(DRIVER_INFO_8W, pszzCoreDriverDependencies),
};

const size_t kPrinter2Texts[] = {
    offsetof(PRINTER_INFO_2W, pServerName),     offsetof(PRINTER_INFO_2W, pPrinterName),
    offsetof(PRINTER_INFO_2W, pShareName),      offsetof(PRINTER_INFO_2W, pPortName),
    offsetof(PRINTER_INFO_2W, pDriverName),     offsetof(PRINTER_INFO_2W, pComment),
    offsetof(PRINTER_INFO_2W, pLocation),       offsetof(PRINTER_INFO_2W, pSepFile),
    offsetof(PRINTER_INFO_2W, pPrintProcessor), offsetof(PRINTER_INFO_2W, pDatatype),
    offsetof(PRINTER_INFO_2W, pParameters),
};

const size_t kServer100Texts[] = {offsetof(SERVER_INFO_100, sv100_name)};

const size_t kPort2Texts[] = {offsetof(PORT_INFO_2W, pPortName), offsetof(PORT_INFO_2W, pMonitorName),
                              offsetof(PORT_INFO_2W, pDescription)};
const size_t kProcessor1Texts[] = {offsetof(PRINTPROCESSOR_INFO_1W, pName)};

// Characters are looked at in blocks: for each block, where the next
// terminator (and the next pair of terminators) at or after its start is.
// A field's end is then found within its own block or read off the next one,
// so crafted fields that overlap cost no more than honest ones.
constexpr size_t kBlockChars = 64;

class StringEnds {
 public:
  StringEnds(const wchar_t* chars, size_t count) : chars_(chars), count_(count) {}

  // Builds the block tables in one backward pass; false when memory is short.
  bool Build() {
    const size_t blocks = count_ / kBlockChars + 1;
    try {
      nextZero_.assign(blocks, count_);
      nextPair_.assign(blocks, count_);
    } catch (const std::bad_alloc&) {
      return false;
    }
    size_t zero = count_;
    size_t pair = count_;
    for (size_t i = count_; i-- > 0;) {
      if (chars_[i] == L'\0') {
        zero = i;
        if (IsPairEnd(i)) pair = i;
      }
      if (i % kBlockChars == 0) {
        nextZero_[i / kBlockChars] = zero;
        nextPair_[i / kBlockChars] = pair;
      }
    }
    return true;
  }

  // The terminator of the string that starts at `start`, or count_ for none.
  size_t TextEnd(size_t start) const {
    const size_t blockEnd = BlockEnd(start);
    for (size_t i = start; i < blockEnd; ++i) {
      if (chars_[i] == L'\0') return i;
    }
    return Next(nextZero_, start);
  }

  // The terminating empty string of the multi-string at `start`, or count_.
  size_t ListEnd(size_t start) const {
    if (chars_[start] == L'\0') return start;
    const size_t blockEnd = BlockEnd(start);
    for (size_t i = start + 1; i < blockEnd; ++i) {
      if (IsPairEnd(i)) return i;
    }
    return Next(nextPair_, start);
  }

 private:
  bool IsPairEnd(size_t i) const { return i > 0 && chars_[i] == L'\0' && chars_[i - 1] == L'\0'; }
  size_t BlockEnd(size_t start) const {
    const size_t end = (start / kBlockChars + 1) * kBlockChars;
    return end < count_ ? end : count_;
  }
  size_t Next(const std::vector<size_t>& table, size_t start) const {
    const size_t block = start / kBlockChars + 1;
    return block < table.size() ? table[block] : count_;
  }

  const wchar_t* chars_;
  size_t count_;
  std::vector<size_t> nextZero_;
  std::vector<size_t> nextPair_;
};

// A string field's place in the buffer as a character index; false when it
// does not start inside the buffer on a character boundary.
bool CharacterIndex(const BYTE* buffer, size_t charCount, const wchar_t* field, size_t& index) {
  const auto begin = reinterpret_cast<uintptr_t>(buffer);
  const auto at = reinterpret_cast<uintptr_t>(field);
  if (at < begin || (at - begin) % sizeof(wchar_t) != 0) return false;
  index = (at - begin) / sizeof(wchar_t);
  return index < charCount;
}

void CheckFields(BYTE* record, const size_t* offsets, size_t fieldCount, bool lists,
                 const BYTE* buffer, size_t charCount, const StringEnds& ends) {
  for (size_t f = 0; f < fieldCount; ++f) {
    auto* slot = reinterpret_cast<wchar_t**>(record + offsets[f]);
    if (*slot == nullptr) continue;
    size_t start = 0;
    const bool inside = CharacterIndex(buffer, charCount, *slot, start) &&
                        (lists ? ends.ListEnd(start) : ends.TextEnd(start)) < charCount;
    if (!inside) *slot = nullptr;  // absent: shown empty, logged "(null)"
  }
}

}  // namespace

const RecordLayout kDriverInfo6Layout = {sizeof(DRIVER_INFO_6W), kDriver6Texts,
                                         std::size(kDriver6Texts), kDriver6Lists,
                                         std::size(kDriver6Lists)};
const RecordLayout kDriverInfo8Layout = {sizeof(DRIVER_INFO_8W), kDriver8Texts,
                                         std::size(kDriver8Texts), kDriver8Lists,
                                         std::size(kDriver8Lists)};
const RecordLayout kPrinterInfo2Layout = {sizeof(PRINTER_INFO_2W), kPrinter2Texts,
                                          std::size(kPrinter2Texts), nullptr, 0};
const RecordLayout kServerInfo100Layout = {sizeof(SERVER_INFO_100), kServer100Texts,
                                           std::size(kServer100Texts), nullptr, 0};
const RecordLayout kPortInfo2Layout = {sizeof(PORT_INFO_2W), kPort2Texts, std::size(kPort2Texts),
                                       nullptr, 0};
const RecordLayout kPrintProcessorInfo1Layout = {sizeof(PRINTPROCESSOR_INFO_1W), kProcessor1Texts,
                                                 std::size(kProcessor1Texts), nullptr, 0};

DWORD CheckAnswer(BYTE* buffer, size_t bytes, DWORD count, const RecordLayout& layout) {
  if (count == 0) return 0;
  if (buffer == nullptr || count > bytes / layout.recordSize) return ERROR_INVALID_DATA;
  const size_t charCount = bytes / sizeof(wchar_t);
  StringEnds ends(reinterpret_cast<const wchar_t*>(buffer), charCount);
  if (!ends.Build()) return ERROR_NOT_ENOUGH_MEMORY;
  for (DWORD r = 0; r < count; ++r) {
    BYTE* record = buffer + static_cast<size_t>(r) * layout.recordSize;
    CheckFields(record, layout.textOffsets, layout.textCount, false, buffer, charCount, ends);
    CheckFields(record, layout.listOffsets, layout.listCount, true, buffer, charCount, ends);
  }
  return 0;
}

DWORD ReadSpoolerList(const SpoolerListCall& call, const RecordLayout& layout,
                      SpoolerAnswer& answer) {
  answer = SpoolerAnswer{};
  DWORD needed = 0;
  DWORD returned = 0;
  if (call(nullptr, 0, &needed, &returned)) {
    answer.claimed = returned;  // no records, whatever the count says
    return 0;
  }
  DWORD error = ::GetLastError();
  if (error != ERROR_INSUFFICIENT_BUFFER) return error != 0 ? error : ERROR_GEN_FAILURE;
  if (needed > kMaxSpoolerAnswerBytes) return ERROR_NOT_ENOUGH_MEMORY;

  answer.buffer.reset(new (std::nothrow) BYTE[needed]);
  if (!answer.buffer) return ERROR_NOT_ENOUGH_MEMORY;
  answer.bytes = needed;
  DWORD stillNeeded = 0;
  if (!call(answer.buffer.get(), answer.bytes, &stillNeeded, &returned)) {
    error = ::GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
  }
  error = CheckAnswer(answer.buffer.get(), answer.bytes, returned, layout);
  if (error != 0) return error;
  answer.count = returned;
  return 0;
}

}  // namespace kestrun
