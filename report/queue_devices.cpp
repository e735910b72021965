#include "report/queue_devices.h"

#include <unordered_map>
#include <utility>

#include "inventory/error_reporter.h"
#include "inventory/field_text.h"

namespace kestrun {

namespace {

// The host of a TCP/IP port's device address: "host:port" (an IPv6 host
// keeps its own colons) or "host (LPR queue)".
std::wstring_view TcpIpHost(std::wstring_view address) {
  const size_t lpr = address.find(L" (");
  if (lpr != std::wstring_view::npos) return address.substr(0, lpr);
  const size_t colon = address.rfind(L':');
  if (colon == std::wstring_view::npos) return address;
  const std::wstring_view port = address.substr(colon + 1);
  const bool digits =
      !port.empty() && port.find_first_not_of(L"0123456789") == std::wstring_view::npos;
  return digits ? address.substr(0, colon) : address;
}

std::wstring SystemText(DWORD code) {
  return errorReporter ? OneLineText(errorReporter->GetErrorText(code).text) : std::wstring();
}

}  // namespace

bool DeviceOfQueue(PortKind kind, std::wstring_view deviceAddress, DeviceTarget& device,
                   NotProbedReason& why) {
  switch (kind) {
    case PortKind::TcpIp: {
      const std::wstring_view host = TcpIpHost(deviceAddress);
      if (host.empty()) {
        why = NotProbedReason::NoAddress;
        return false;
      }
      device = TcpIpDeviceTarget(host);
      return true;
    }
    case PortKind::Ipp:
      device = IppPortTarget(deviceAddress);
      return true;
    case PortKind::Wsd:
      why = NotProbedReason::WsdPort;
      return false;
    case PortKind::Local:
      why = NotProbedReason::LocalPort;
      return false;
    case PortKind::Connection:
      why = NotProbedReason::Connection;
      return false;
    case PortKind::Monitor:
    case PortKind::Unlisted:
      break;
  }
  why = NotProbedReason::OtherPort;
  return false;
}

void QueueProbePlan::Add(PortKind kind, std::wstring_view deviceAddress) {
  DeviceTarget device;
  NotProbedReason why = NotProbedReason::NotAsked;
  const bool asked = DeviceOfQueue(kind, deviceAddress, device, why);
  deviceOfPrinter_.push_back(asked ? devices_.Add(std::move(device)) : kNoDevice);
  whyNot_.push_back(why);
}

std::vector<QueueProbePlan::Shown> QueueProbePlan::Describe(const std::vector<DeviceProbe>& results,
                                                            unsigned limitSeconds,
                                                            std::deque<std::wstring>& texts) const {
  // Each device's texts and each reason's once, however many printers show them.
  std::unordered_map<size_t, Shown> devices;
  std::unordered_map<int, std::wstring_view> reasons;
  std::vector<Shown> shown(deviceOfPrinter_.size());
  for (size_t p = 0; p < shown.size(); ++p) {
    const size_t device = deviceOfPrinter_[p];
    if (device == kNoDevice || device >= results.size()) {
      DeviceProbe probe;
      probe.notProbed = device == kNoDevice ? whyNot_[p] : NotProbedReason::Cancelled;
      auto [at, added] = reasons.emplace(static_cast<int>(probe.notProbed), std::wstring_view());
      if (added) at->second = texts.emplace_back(DeviceVerdictOf(probe, limitSeconds, L"").text);
      shown[p].device = at->second;
      continue;
    }
    auto [at, added] = devices.emplace(device, Shown{});
    if (added) {
      const DeviceProbe& probe = results[device];
      const DeviceVerdict verdict = DeviceVerdictOf(
          probe, limitSeconds,
          probe.failure == ProbeFailure::Connection ? SystemText(probe.code) : std::wstring());
      at->second.device = texts.emplace_back(verdict.text);
      at->second.model = texts.emplace_back(DeviceModelText(probe));
      at->second.driverless = IsDriverless(verdict.kind);
    }
    shown[p] = at->second;
  }
  return shown;
}

std::wstring DriverlessCountText(size_t movable, size_t thirdParty) {
  return std::to_wstring(movable) + L" of " + std::to_wstring(thirdParty) +
         L" third-party queues can move to the inbox IPP class driver";
}

}  // namespace kestrun
