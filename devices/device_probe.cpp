#include "devices/device_probe.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>

#include "common/win32_handles.h"
#include "devices/ipp_message.h"
#include "devices/ipp_transport.h"

namespace kestrun {

namespace {

// How often a run that waits looks at its cancel flag.
constexpr DWORD kCancelPollMs = 50;
constexpr uint16_t kIppNotFound = 0x0406;

// A device's addresses as one text: a URL holds no blank.
std::wstring FoldedKey(const DeviceTarget& device) {
  std::wstring key;
  for (const DeviceUri& uri : device.addresses) key += PrinterUriText(uri) + L" ";
  for (auto& c : key) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return key;
}

// One device being asked.
struct Slot {
  size_t device = 0;
  size_t address = 0;
  ULONGLONG deadline = 0;
  std::unique_ptr<IppExchange> exchange;
};

// What an exchange's outcome says of the device; false when the device did
// not know the address asked (HTTP 404, or IPP's not-found), so that the
// next one may be tried.
bool Judge(ExchangeOutcome& outcome, DeviceProbe& probe) {
  probe = {};
  probe.probed = true;
  if (outcome.error == ERROR_WINHTTP_TIMEOUT || outcome.error == WSAETIMEDOUT) {
    probe.failure = ProbeFailure::TimeLimit;
  } else if (outcome.error != 0) {
    probe.failure = ProbeFailure::Connection;
    probe.code = outcome.error;
  } else if (outcome.tooLarge) {
    probe.failure = ProbeFailure::TooLarge;
  } else if (outcome.httpStatus != HTTP_STATUS_OK) {
    probe.failure = ProbeFailure::HttpStatus;
    probe.code = outcome.httpStatus;
    return outcome.httpStatus != HTTP_STATUS_NOT_FOUND;
  } else {
    probe.readError =
        ReadPrinterAttributes(outcome.body.data(), outcome.body.size(), probe.attributes);
    if (probe.readError == IppReadError::ErrorStatus) {
      probe.failure = ProbeFailure::IppStatus;
      probe.code = probe.attributes.status;
      probe.attributes = {};
      return probe.code != kIppNotFound;
    }
    if (probe.readError != IppReadError::None) probe.failure = ProbeFailure::NotIpp;
  }
  return true;
}

class ProbeRun {
 public:
  ProbeRun(const std::vector<DeviceTarget>& devices, const ProbeOptions& options,
           const std::atomic<bool>& cancel, const ProbeProgress& progress)
      : devices_(devices),
        options_(options),
        cancel_(cancel),
        progress_(progress),
        results_(devices.size()) {}

  std::vector<DeviceProbe> Run() {
    const DWORD opened = session_.Open();
    wake_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (opened != 0 || !wake_) {
      for (auto& result : results_) {
        result.notProbed = NotProbedReason::NoWinHttp;
        result.code = opened != 0 ? opened : ::GetLastError();
      }
      return std::move(results_);
    }
    const size_t atOnce = std::clamp<size_t>(options_.atOnce, 1, kMaxProbesAtOnce);
    const ULONGLONG limitMs = std::max(options_.limitSeconds, 1u) * 1000ull;
    size_t next = 0;
    while (!Cancelled()) {
      while (active_.size() < atOnce && next < devices_.size() && TakePermit()) {
        Start(next, 0, ::GetTickCount64() + limitMs);
        ++next;
      }
      if (active_.empty() && next == devices_.size()) break;
      ULONGLONG earliest = ::GetTickCount64() + kCancelPollMs;
      for (const auto& slot : active_) earliest = std::min(earliest, slot.deadline);
      const ULONGLONG now = ::GetTickCount64();
      const auto wait = static_cast<DWORD>(
          std::min<ULONGLONG>(earliest > now ? earliest - now : 0, kCancelPollMs));
      ::WaitForSingleObject(wake_.get(), wait);
      if (Settle()) Report();
    }
    if (Cancelled()) {
      for (auto& slot : active_) {
        slot.exchange->Abort();
        ReturnPermit();
      }
      active_.clear();
      for (size_t i = 0; i < results_.size(); ++i) {
        if (!results_[i].probed) results_[i].notProbed = NotProbedReason::Cancelled;
      }
    }
    return std::move(results_);
  }

 private:
  // Starts asking a device at one of its addresses; an address the probe
  // cannot ask settles the device at once.
  void Start(size_t device, size_t address, ULONGLONG deadline) {
    const auto& addresses = devices_[device].addresses;
    if (address >= addresses.size()) {
      results_[device].notProbed = NotProbedReason::NoAddress;
      results_[device].probed = false;
      ReturnPermit();
      ++settled_;
      Report();
      return;
    }
    const ULONGLONG now = ::GetTickCount64();
    const auto left = static_cast<DWORD>(deadline > now ? deadline - now : 1);
    const DeviceUri& uri = addresses[address];
    auto request =
        GetPrinterAttributesRequest(PrinterUriText(uri), static_cast<uint32_t>(device + 1));
    Slot slot;
    slot.device = device;
    slot.address = address;
    slot.deadline = deadline;
    slot.exchange = session_.Post(uri, std::move(request), left, wake_.get());
    active_.push_back(std::move(slot));
  }

  // Settles the devices whose exchange is done or whose time is up; true
  // when any settled.
  bool Settle() {
    const size_t before = settled_;
    const ULONGLONG now = ::GetTickCount64();
    std::vector<Slot> still;
    std::vector<Slot> again;
    for (auto& slot : active_) {
      DeviceProbe& result = results_[slot.device];
      if (slot.exchange->Done()) {
        ExchangeOutcome outcome = slot.exchange->Take();
        slot.exchange.reset();
        const bool final = Judge(outcome, result);
        if (!final && slot.address + 1 < devices_[slot.device].addresses.size()) {
          ++slot.address;
          again.push_back(std::move(slot));
          continue;
        }
        ReturnPermit();
        ++settled_;
      } else if (now >= slot.deadline) {
        slot.exchange->Abort();
        result = {};
        result.probed = true;
        result.failure = ProbeFailure::TimeLimit;
        ReturnPermit();
        ++settled_;
      } else {
        still.push_back(std::move(slot));
      }
    }
    active_ = std::move(still);
    for (auto& slot : again) Start(slot.device, slot.address, slot.deadline);
    return settled_ != before;
  }

  bool Cancelled() const { return stopped_ || cancel_.load(); }
  void Report() {
    if (progress_ && !progress_(settled_, devices_.size())) stopped_ = true;
  }

  // A device in progress holds one of the shared gate's permits.
  bool TakePermit() {
    return options_.gate == nullptr || ::WaitForSingleObject(options_.gate, 0) == WAIT_OBJECT_0;
  }
  void ReturnPermit() {
    if (options_.gate != nullptr) ::ReleaseSemaphore(options_.gate, 1, nullptr);
  }

  const std::vector<DeviceTarget>& devices_;
  const ProbeOptions& options_;
  const std::atomic<bool>& cancel_;
  const ProbeProgress& progress_;
  std::vector<DeviceProbe> results_;
  IppSession session_;
  UniqueHandle wake_;
  std::vector<Slot> active_;
  size_t settled_ = 0;
  bool stopped_ = false;  // the progress callback cancelled the run
};

}  // namespace

bool TcpIpDeviceTarget(std::wstring_view host, DeviceTarget& device, NotProbedReason& why) {
  DeviceUri uri;
  if (!ParseHost(host, uri.host)) {
    why = NotProbedReason::BadHost;
    return false;
  }
  uri.port = kIppPort;
  device.addresses.clear();
  for (const wchar_t* path : {L"/ipp/print", L"/ipp/printer", L"/"}) {
    uri.path = path;
    device.addresses.push_back(uri);
  }
  return true;
}

bool IppPortTarget(std::wstring_view address, DeviceTarget& device, NotProbedReason& why) {
  DeviceUri uri;
  if (!ParseDeviceUri(address, uri, why)) return false;
  device.addresses = {std::move(uri)};
  return true;
}

size_t DeviceSet::Add(DeviceTarget device) {
  const std::wstring key = FoldedKey(device);
  const auto [at, added] = byAddress_.emplace(key, devices_.size());
  if (added) devices_.push_back(std::move(device));
  return at->second;
}

std::vector<DeviceProbe> ProbeDevices(const std::vector<DeviceTarget>& devices,
                                      const ProbeOptions& options, const std::atomic<bool>& cancel,
                                      const ProbeProgress& progress) {
  if (devices.empty()) return {};
  return ProbeRun(devices, options, cancel, progress).Run();
}

}  // namespace kestrun
