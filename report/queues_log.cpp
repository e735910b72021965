#include "report/queues_log.h"

#include "report/fleet_log.h"

namespace kestrun {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr std::string_view kLineEnd = "\r\n";

}  // namespace

std::string QueuesLogHeader() {
  std::string header = kBom;
  AppendFleetField(header, L"Machine");
  for (const wchar_t* title : kQueueColumnTitles) {
    header += ',';
    AppendFleetField(header, title);
  }
  header += ',';
  AppendFleetField(header, L"Reason");
  header += kLineEnd;
  return header;
}

bool HoldsAnotherQueuesHeader(std::string_view firstBytes) {
  // Empty, or only the byte-order mark an editor saved: the header follows it.
  if (firstBytes.empty() || firstBytes == std::string_view(kBom)) return false;
  const std::string header = QueuesLogHeader();
  if (firstBytes.substr(0, header.size()) == header) return false;
  const std::string_view bare = std::string_view(header).substr(sizeof(kBom) - 1);
  return firstBytes.substr(0, bare.size()) != bare;
}

void AppendQueueRow(std::string& bytes, std::wstring_view machine, const QueueCells& cells,
                    std::wstring_view reason) {
  AppendFleetField(bytes, machine);
  for (const std::wstring_view cell : cells) {
    bytes += ',';
    AppendFleetField(bytes, cell);
  }
  bytes += ',';
  AppendFleetField(bytes, reason);
  bytes += kLineEnd;
}

}  // namespace kestrun
