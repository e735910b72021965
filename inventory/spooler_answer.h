// What a print server or the network hands back is checked once, right after
// the call, before anything reads it: the record count must fit the bytes, and
// every string a record points to must lie inside the buffer and end there.
// A string that does not is made absent; the rest of its record is kept.
// Readers above trust the records afterwards.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>

namespace kestrun {

// The most a server may ask Kestrun to hold for one answer.
constexpr DWORD kMaxSpoolerAnswerBytes = 256u * 1024 * 1024;

// Where a record keeps its string pointers.
struct RecordLayout {
  size_t recordSize;
  const size_t* textOffsets;  // plain strings
  size_t textCount;
  const size_t* listOffsets;  // multi-strings (ended by an empty string)
  size_t listCount;
};

extern const RecordLayout kDriverInfo6Layout;
extern const RecordLayout kDriverInfo8Layout;
extern const RecordLayout kPrinterInfo2Layout;
extern const RecordLayout kServerInfo100Layout;
extern const RecordLayout kPortInfo2Layout;
extern const RecordLayout kPrintProcessorInfo1Layout;

// Checks `count` records at the start of a buffer of `bytes` bytes, in one
// pass over the strings. ERROR_INVALID_DATA when the records themselves do not
// fit; otherwise 0, with every string field that points outside the buffer, is
// misaligned or does not end inside it set to null.
DWORD CheckAnswer(BYTE* buffer, size_t bytes, DWORD count, const RecordLayout& layout);

// One call of a two-call spooler enumeration (EnumPrinterDriversW and
// friends): buffer, its size, bytes needed, records returned.
using SpoolerListCall = std::function<BOOL(BYTE*, DWORD, DWORD*, DWORD*)>;

struct SpoolerAnswer {
  std::unique_ptr<BYTE[]> buffer;  // absent when there are no records
  DWORD bytes = 0;
  DWORD count = 0;
  DWORD claimed = 0;  // the records a sizing call that succeeded claimed anyway
};

// Asks for the bytes needed, then for the records, and checks them. A first
// call that succeeds means no records, whatever count it reports. Returns 0 or
// the failure: the spooler's code, ERROR_NOT_ENOUGH_MEMORY for an answer over
// kMaxSpoolerAnswerBytes (or one that cannot be held), ERROR_INVALID_DATA for
// a count the bytes cannot hold. After a failed second call the buffer stays
// in `answer` with no records.
DWORD ReadSpoolerList(const SpoolerListCall& call, const RecordLayout& layout,
                      SpoolerAnswer& answer);

}  // namespace kestrun
