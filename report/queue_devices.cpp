#include "report/queue_devices.h"

#include <unordered_map>
#include <utility>

#include "inventory/error_reporter.h"
#include "inventory/field_text.h"

namespace kestrun {

namespace {

// The host of a TCP/IP port's device address: "host:port" (an IPv6 host
// keeps its own colons) or "host (LPR queue)". A host that holds " (LPR"
// itself could pass its front for the host: such an address is refused.
std::wstring_view TcpIpHost(std::wstring_view address) {
  const size_t lpr = address.find(L" (LPR");
  if (lpr != std::wstring_view::npos) {
    const bool once = address.find(L" (LPR", lpr + 1) == std::wstring_view::npos;
    return once && address.back() == L')' ? address.substr(0, lpr) : address;
  }
  const size_t colon = address.rfind(L':');
  if (colon == std::wstring_view::npos) return address;
  const std::wstring_view port = address.substr(colon + 1);
  const bool digits =
      !port.empty() && port.find_first_not_of(L"0123456789") == std::wstring_view::npos;
  std::wstring host;
  return digits && ParseHost(address.substr(0, colon), host) ? address.substr(0, colon) : address;
}

std::wstring SystemText(DWORD code) {
  return errorReporter ? OneLineText(errorReporter->GetErrorText(code).text) : std::wstring();
}

}  // namespace

bool DeviceOfQueue(PortKind kind, std::wstring_view deviceAddress, DeviceTarget& device,
                   NotProbedReason& why) {
  switch (kind) {
    case PortKind::TcpIp:
      if (deviceAddress.empty()) {
        why = NotProbedReason::NoAddress;
        return false;
      }
      return TcpIpDeviceTarget(TcpIpHost(deviceAddress), device, why);
    case PortKind::Ipp:
      if (deviceAddress.empty()) {
        why = NotProbedReason::NoIppAddress;
        return false;
      }
      return IppPortTarget(deviceAddress, device, why);
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
      shown[p].notAsked = probe.notProbed == NotProbedReason::Cancelled;
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
      at->second.mopria = verdict.kind == DeviceVerdictKind::Mopria;
      at->second.notAsked = !probe.probed && probe.notProbed == NotProbedReason::Cancelled;
    }
    shown[p] = at->second;
  }
  return shown;
}

void DriverlessTally::Add(bool driverless, bool certified, bool unasked) {
  ++thirdParty;
  mopria += driverless && certified ? 1 : 0;
  everywhereOnly += driverless && !certified ? 1 : 0;
  notAsked += unasked ? 1 : 0;
}

std::wstring DriverlessCountText(const DriverlessTally& tally) {
  std::wstring text =
      std::to_wstring(tally.mopria) + L" of " + std::to_wstring(tally.thirdParty) +
      L" queues that are removed can be added again on the inbox IPP class driver (their "
      L"devices report Mopria certification); " +
      std::to_wstring(tally.everywhereOnly) +
      L" more do IPP Everywhere without reporting Mopria certification";
  if (tally.notAsked > 0) text += L"; " + std::to_wstring(tally.notAsked) + L" not asked";
  return text;
}

}  // namespace kestrun
