// The CSV log: a new file is UTF-8 with a byte-order mark; a file that
// began without the mark stays 8-bit text (codes 0-255 as one byte, anything
// else "?"). Control characters are "?", CR LF end lines, and a field holding
// a comma, a double quote, CR or LF is quoted as RFC 4180 has it. Several
// reports may append to one log at once, so a line only ever reaches the file
// whole, in one atomic append, and a report's lines reach it together.
#pragma once

#include <windows.h>
#include <winspool.h>

#include <memory>
#include <string>
#include <string_view>


namespace kestrun {

// How a log's text is written: what its file began with decides.
enum class CsvEncoding { EightBit, Utf8 };
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// The encoding of a log whose first bytes are these: UTF-8 for a new (empty)
// file or one that begins with the mark, else 8-bit.
CsvEncoding EncodingOfLog(std::string_view firstBytes);

// One code point as UTF-8.
void AppendUtf8(std::string& bytes, char32_t code);

// Encodes a field's text as 8-bit bytes; control characters become "?".
void AppendCsvText(std::string& bytes, std::wstring_view text);
// A text followed by a comma.
void AppendCsvField(std::string& bytes, std::wstring_view text);
void AppendCsvLineEnd(std::string& bytes);
// The same bytes, in double quotes (its own doubled) when they hold a comma or
// a double quote, as RFC 4180 has it.
void AppendQuotedCsvText(std::string& bytes, std::wstring_view text);

// The command-line log's header: the titles of columns 1 to 14, each followed
// by a comma. The column table must have been filled.
std::string CsvHeaderLine();

// The text of log column `column` (1 to 14) of a driver: its field, the
// dependent-files line for column 3, the first previous name for column 11;
// null when the spooler left the field absent.
const wchar_t* DriverColumnText(const DRIVER_INFO_6& driver, int column,
                                const wchar_t* dependentFilesLine);

// One driver's row as the command-line report logs it: every field followed by
// a comma, "(null)" for an absent field; the dependent files as their one-line
// text (empty when the driver has none).
void AppendDriverRow(std::string& bytes, const DRIVER_INFO_6& driver,
                     const wchar_t* dependentFilesLine,
                     CsvEncoding encoding = CsvEncoding::EightBit);

// The list's log: a header of the chosen (or all twenty) columns' titles,
// each followed by a comma. `choices` holds one entry per list column (entry c is 1 when column c
// is chosen; entry 0 is unused here); with `allColumns` every column counts.
std::string ListHeaderLine(bool allColumns, const int* choices);

// One list row from its cell texts (indexed by list column; entry 0 unused).
// All columns: columns 1 to 19 each followed by a comma, column 20 followed by
// the line end. Chosen columns: each followed by a comma, then the line end.
// A cell holding a comma or a double quote is quoted, so it stays one field.
void AppendListRow(std::string& bytes, const wchar_t* const* cells, bool allColumns,
                   const int* choices);

// A log file opened for atomic appends. Whole lines are gathered and written
// in batches that never split a line.
class CsvLog {
 public:
  // Opens (creating when needed) the file; null with the system's error code
  // in `error` when it cannot be opened.
  static std::unique_ptr<CsvLog> Open(const wchar_t* path, DWORD& error);

  ~CsvLog();
  CsvLog(const CsvLog&) = delete;
  CsvLog& operator=(const CsvLog&) = delete;

  // Queues whole lines; they reach the file together, never split. Returns
  // the system's code of a write that failed (ERROR_SUCCESS when none did).
  DWORD AppendLines(std::string_view lines);
  // Writes what is queued; returns as AppendLines.
  DWORD Flush();

  // Appends the bytes as one locked append, after whatever is queued, so no
  // other appender's lines come between them. `whenEmpty` (a header) goes
  // first when the file is empty at that moment. Returns ERROR_SUCCESS, or
  // the system's code of the failed write: the file is then cut back to the
  // size it had before this append.
  DWORD AppendWhole(std::string_view bytes, std::string_view whenEmpty = {});

  const std::wstring& Path() const { return path_; }

  // Up to `count` bytes from the start of the file; fewer when it is shorter
  // or cannot be read.
  std::string ReadStart(size_t count) const;

 private:
  CsvLog(HANDLE file, const wchar_t* path);
  DWORD WriteWhole(std::string_view bytes);
  DWORD WriteAll(std::string_view bytes);
  void CutBack(LONGLONG size);

  HANDLE file_;
  std::wstring path_;
  std::string pending_;
};

}  // namespace kestrun
