#include "report/csv_log.h"

#include <new>

#include "common/win32_handles.h"
#include "inventory/field_text.h"
#include "inventory/column_table.h"

namespace kestrun {

namespace {
// Lines are gathered up to this size before one write; a longer line goes alone.
constexpr size_t kBatchBytes = size_t{64} * 1024;
// One write call takes at most this much; a larger append goes in pieces under one lock.
constexpr size_t kMaxWriteBytes = size_t{16} * 1024 * 1024;

// Appenders take turns through a lock on one byte far past any real log's
// end: not every system keeps a large append in one piece when several
// programs append at once. The lock also holds across a file share.
class AppendLock {
 public:
  explicit AppendLock(HANDLE file) : file_(file) {
    overlapped_.OffsetHigh = 0x40000000;
    locked_ = ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &overlapped_) != FALSE;
  }
  ~AppendLock() {
    if (locked_) ::UnlockFileEx(file_, 0, 1, 0, &overlapped_);
  }
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;

 private:
  HANDLE file_;
  OVERLAPPED overlapped_ = {};
  bool locked_ = false;
};
}  // namespace

void AppendCsvText(std::string& bytes, std::wstring_view text) {
  for (const wchar_t c : text) {
    // A line break inside an unquoted field would start a new row; past 255 there is no byte.
    if (IsControlCharacter(c) || c > 0xFF) {
      bytes += '?';
    } else {
      bytes += static_cast<char>(static_cast<unsigned char>(c));
    }
  }
}

CsvEncoding EncodingOfLog(std::string_view firstBytes) {
  return firstBytes.empty() || firstBytes.substr(0, kUtf8ByteOrderMark.size()) == kUtf8ByteOrderMark
             ? CsvEncoding::Utf8
             : CsvEncoding::EightBit;
}

void AppendUtf8(std::string& bytes, char32_t code) {
  if (code < 0x80) {
    bytes += static_cast<char>(code);
  } else if (code < 0x800) {
    bytes += static_cast<char>(0xC0 | (code >> 6));
    bytes += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    bytes += static_cast<char>(0xE0 | (code >> 12));
    bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    bytes += static_cast<char>(0xF0 | (code >> 18));
    bytes += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    bytes += static_cast<char>(0x80 | (code & 0x3F));
  }
}

namespace {

// A driver log field followed by a comma: quoted when it holds a comma, a
// double quote, CR or LF (line breaks kept inside the quotes), else exactly
// as the 8-bit log has always written it.
void AppendLogField(std::string& bytes, std::wstring_view text, CsvEncoding encoding) {
  const bool quoted = text.find_first_of(L",\"\r\n") != std::wstring_view::npos;
  if (quoted) bytes += '"';
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (c == L'"') {
      bytes += "\"\"";
    } else if (c == L'\r' || c == L'\n') {
      bytes += static_cast<char>(c);
    } else if (IsControlCharacter(c) || (encoding == CsvEncoding::EightBit && c > 0xFF)) {
      bytes += '?';
    } else if (encoding == CsvEncoding::EightBit) {
      bytes += static_cast<char>(static_cast<unsigned char>(c));
    } else if (IS_HIGH_SURROGATE(c) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1])) {
      AppendUtf8(bytes, 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
                            (static_cast<char32_t>(text[++i]) - 0xDC00));
    } else if (IS_HIGH_SURROGATE(c) || IS_LOW_SURROGATE(c)) {
      AppendUtf8(bytes, 0xFFFD);  // half a pair
    } else {
      AppendUtf8(bytes, c);
    }
  }
  if (quoted) bytes += '"';
  bytes += ',';
}

}  // namespace

void AppendCsvField(std::string& bytes, std::wstring_view text) {
  AppendCsvText(bytes, text);
  bytes += ',';
}

void AppendCsvLineEnd(std::string& bytes) { bytes += "\r\n"; }

std::string CsvHeaderLine() {
  std::string header;
  for (int column = kFirstFieldColumn; column <= kLastLogColumn; ++column) {
    AppendCsvField(header, columnTitles[column]);
  }
  AppendCsvLineEnd(header);
  return header;
}

std::string ListHeaderLine(bool allColumns, const int* choices) {
  std::string header;
  for (int column = kFirstFieldColumn; column <= kLastFieldColumn; ++column) {
    if (allColumns || choices[column] == 1) AppendCsvField(header, columnTitles[column]);
  }
  AppendCsvLineEnd(header);
  return header;
}

void AppendQuotedCsvText(std::string& bytes, std::wstring_view text) {
  const size_t start = bytes.size();
  AppendCsvText(bytes, text);
  // Control characters are "?" already: only a comma or a double quote needs quoting.
  if (bytes.find_first_of(",\"", start) == std::string::npos) return;
  std::string quoted = "\"";
  for (size_t i = start; i < bytes.size(); ++i) {
    if (bytes[i] == '"') quoted += '"';
    quoted += bytes[i];
  }
  bytes.resize(start);
  bytes += quoted + '"';
}

void AppendListRow(std::string& bytes, const wchar_t* const* cells, bool allColumns,
                   const int* choices) {
  if (allColumns) {
    // These rows have never carried a comma after their last field, though
    // their header does; spreadsheets and scripts read them as they are.
    for (int column = kFirstFieldColumn; column < kLastFieldColumn; ++column) {
      AppendQuotedCsvText(bytes, FieldOrEmpty(cells[column]));
      bytes += ',';
    }
    AppendQuotedCsvText(bytes, FieldOrEmpty(cells[kLastFieldColumn]));
  } else {
    for (int column = kFirstFieldColumn; column <= kLastFieldColumn; ++column) {
      if (choices[column] != 1) continue;
      AppendQuotedCsvText(bytes, FieldOrEmpty(cells[column]));
      bytes += ',';
    }
  }
  AppendCsvLineEnd(bytes);
}

namespace {
// The driver field of each log column, in column order; column 3 is the
// dependent-files line, and column 11 a multi-string read as text (its first name).
constexpr LPWSTR DRIVER_INFO_6::*kColumnFields[kLastLogColumn + 1] = {
    nullptr,
    &DRIVER_INFO_6::pName,
    &DRIVER_INFO_6::pszProvider,
    nullptr,
    &DRIVER_INFO_6::pEnvironment,
    &DRIVER_INFO_6::pDriverPath,
    &DRIVER_INFO_6::pDataFile,
    &DRIVER_INFO_6::pConfigFile,
    &DRIVER_INFO_6::pHelpFile,
    &DRIVER_INFO_6::pMonitorName,
    &DRIVER_INFO_6::pDefaultDataType,
    &DRIVER_INFO_6::pszzPreviousNames,
    &DRIVER_INFO_6::pszMfgName,
    &DRIVER_INFO_6::pszOEMUrl,
    &DRIVER_INFO_6::pszHardwareID,
};
constexpr int kDependentFilesColumn = 3;
}  // namespace

const wchar_t* DriverColumnText(const DRIVER_INFO_6& driver, int column,
                                const wchar_t* dependentFilesLine) {
  if (column == kDependentFilesColumn) return dependentFilesLine;
  if (column < kFirstFieldColumn || column > kLastLogColumn) return nullptr;
  return driver.*kColumnFields[column];
}

void AppendDriverRow(std::string& bytes, const DRIVER_INFO_6& driver,
                     const wchar_t* dependentFilesLine, CsvEncoding encoding) {
  for (int column = kFirstFieldColumn; column <= kLastLogColumn; ++column) {
    const wchar_t* text = DriverColumnText(driver, column, dependentFilesLine);
    // Absent dependent files are an empty field; any other absent field "(null)".
    if (text == nullptr && column != kDependentFilesColumn) text = L"(null)";
    AppendLogField(bytes, FieldOrEmpty(text), encoding);
  }
  AppendCsvLineEnd(bytes);
}

std::unique_ptr<CsvLog> CsvLog::Open(const wchar_t* path, DWORD& error) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of
  // the file. Read access is only there so the handle may take the append lock
  // and see whether the file is still empty.
  const HANDLE file =
      ::CreateFileW(path, FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = ::GetLastError();
    return nullptr;
  }
  std::unique_ptr<CsvLog> log(new (std::nothrow) CsvLog(file, path));
  if (!log) {
    ::CloseHandle(file);
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  return log;
}

CsvLog::CsvLog(HANDLE file, const wchar_t* path) : file_(file), path_(path) {}

CsvLog::~CsvLog() {
  Flush();  // only the list's log queues lines, and it flushes them itself
  ::CloseHandle(file_);
}

DWORD CsvLog::AppendLines(std::string_view lines) {
  DWORD error = ERROR_SUCCESS;
  if (!pending_.empty() && pending_.size() + lines.size() > kBatchBytes) error = Flush();
  if (lines.size() >= kBatchBytes) {
    const DWORD written = WriteWhole(lines);
    if (error == ERROR_SUCCESS) error = written;
  } else {
    pending_.append(lines);
  }
  return error;
}

DWORD CsvLog::Flush() {
  if (pending_.empty()) return ERROR_SUCCESS;
  const DWORD error = WriteWhole(pending_);
  pending_.clear();
  return error;
}

DWORD CsvLog::AppendWhole(std::string_view bytes, std::string_view whenEmpty) {
  DWORD error = Flush();
  if (error != ERROR_SUCCESS) return error;
  AppendLock lock(file_);
  // Measured under the lock: another appender may have written since this
  // log was opened, the header too.
  LARGE_INTEGER before = {};
  const bool sized = ::GetFileSizeEx(file_, &before) != FALSE;
  if (!whenEmpty.empty() && sized && before.QuadPart == 0) error = WriteAll(whenEmpty);
  // A file holding only the header's byte-order mark (saved so by an editor) is empty too.
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (sized && before.QuadPart == static_cast<LONGLONG>(kByteOrderMark.size()) &&
      whenEmpty.substr(0, kByteOrderMark.size()) == kByteOrderMark &&
      ReadStart(kByteOrderMark.size()) == kByteOrderMark) {
    error = WriteAll(whenEmpty.substr(kByteOrderMark.size()));
  }
  if (error == ERROR_SUCCESS) error = WriteAll(bytes);
  if (error != ERROR_SUCCESS && sized) CutBack(before.QuadPart);
  return error;
}

DWORD CsvLog::WriteWhole(std::string_view bytes) {
  AppendLock lock(file_);
  return WriteAll(bytes);
}

DWORD CsvLog::WriteAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD piece =
        static_cast<DWORD>(bytes.size() < kMaxWriteBytes ? bytes.size() : kMaxWriteBytes);
    DWORD written = 0;
    if (!::WriteFile(file_, bytes.data(), piece, &written, nullptr)) return ::GetLastError();
    if (written == 0) return ERROR_WRITE_FAULT;
    bytes.remove_prefix(written);
  }
  return ERROR_SUCCESS;
}

void CsvLog::CutBack(LONGLONG size) {
  // A full disk may have taken part of the append: the file gets its old size
  // back, so no half row is left. The append handle cannot change the size.
  const UniqueFileHandle writer(::ReOpenFile(
      file_, FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
  if (!writer) return;  // the share is gone with the file: nothing more to do
  FILE_END_OF_FILE_INFO end = {};
  end.EndOfFile.QuadPart = size;
  ::SetFileInformationByHandle(writer.get(), FileEndOfFileInfo, &end, sizeof(end));
}

std::string CsvLog::ReadStart(size_t count) const {
  std::string bytes(count, '\0');
  OVERLAPPED start = {};  // offset 0, whatever the handle's position
  DWORD read = 0;
  if (!::ReadFile(file_, bytes.data(), static_cast<DWORD>(count), &read, &start)) read = 0;
  bytes.resize(read);
  return bytes;
}

}  // namespace kestrun
