#include "devices/device_verdict.h"

#include <algorithm>

namespace kestrun {

namespace {

bool SameKeyword(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           const auto fold = [](wchar_t c) {
             return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c;
           };
           return fold(x) == fold(y);
         });
}

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring_view Trimmed(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Why a device that answers IPP still needs a driver of its own, as far as
// its answer tells.
std::wstring NotDriverlessDetails(const IppPrinterAttributes& answer) {
  std::wstring details;
  if (answer.urf && !answer.pwgRaster && !answer.pclm) details = L"AirPrint only";
  if (answer.versionsGiven && !answer.ipp2) {
    details += details.empty() ? L"" : L", ";
    details += L"IPP 1.x only";
  }
  return details;
}

const wchar_t* NotProbedText(NotProbedReason reason) {
  switch (reason) {
    case NotProbedReason::NotAsked:
      return L"not asked";
    case NotProbedReason::WsdPort:
      return L"WSD port";
    case NotProbedReason::LocalPort:
      return L"local port";
    case NotProbedReason::Connection:
      return L"printer connection";
    case NotProbedReason::OtherPort:
      return L"not a TCP/IP or IPP port";
    case NotProbedReason::NoAddress:
      return L"no device address";
    case NotProbedReason::NoIppAddress:
      return L"the IPP port's address could not be read";
    case NotProbedReason::BadAddress:
      return L"not an ipp, ipps, http or https address";
    case NotProbedReason::BadHost:
      return L"the port's host is not a host name or address";
    case NotProbedReason::BadPortNumber:
      return L"the address's port is not a number from 1 to 65535";
    case NotProbedReason::ControlCharacters:
      return L"the address has control characters";
    case NotProbedReason::TooLong:
      return L"the address is over 1024 characters";
    case NotProbedReason::Cancelled:
      return L"cancelled";
    case NotProbedReason::NoWinHttp:
      return L"WinHTTP could not be loaded";
  }
  return L"";
}

std::wstring NoAnswerText(const DeviceProbe& probe, unsigned limitSeconds,
                          std::wstring_view systemText) {
  switch (probe.failure) {
    case ProbeFailure::Connection: {
      std::wstring text = std::to_wstring(probe.code);
      if (!Trimmed(systemText).empty()) text += L" " + std::wstring(Trimmed(systemText));
      return text;
    }
    case ProbeFailure::TimeLimit:
      return L"no answer within " + std::to_wstring(limitSeconds) + L" s";
    case ProbeFailure::HttpStatus:
      return L"HTTP " + std::to_wstring(probe.code);
    case ProbeFailure::TooLarge:
      return L"the answer is over 1 MiB";
    case ProbeFailure::NotIpp:
      return IppReadErrorText(probe.readError);
    case ProbeFailure::IppStatus:
      return L"IPP status " + IppStatusText(static_cast<uint16_t>(probe.code));
    case ProbeFailure::None:
      break;
  }
  return {};
}

// The value of one key of an IEEE 1284 device id ("MFG:Acme;MDL:Laser 5;").
std::wstring_view DeviceIdValue(std::wstring_view id, std::wstring_view longKey,
                                std::wstring_view shortKey) {
  while (!id.empty()) {
    const size_t end = std::min(id.find(L';'), id.size());
    const std::wstring_view pair = Trimmed(id.substr(0, end));
    id.remove_prefix(std::min(end + 1, id.size()));
    const size_t colon = pair.find(L':');
    if (colon == std::wstring_view::npos) continue;
    const std::wstring_view key = Trimmed(pair.substr(0, colon));
    if (SameKeyword(key, longKey) || SameKeyword(key, shortKey)) {
      return Trimmed(pair.substr(colon + 1));
    }
  }
  return {};
}

}  // namespace

DeviceVerdict DeviceVerdictOf(const DeviceProbe& probe, unsigned limitSeconds,
                              std::wstring_view systemText) {
  if (!probe.probed) {
    std::wstring text = std::wstring(L"Not probed: ") + NotProbedText(probe.notProbed);
    if (probe.notProbed == NotProbedReason::NoWinHttp) {
      text += L" (" + std::to_wstring(probe.code) + L")";
    }
    return {DeviceVerdictKind::NotProbed, text};
  }
  if (probe.failure != ProbeFailure::None) {
    return {DeviceVerdictKind::NoIppAnswer,
            L"No IPP answer: " + NoAnswerText(probe, limitSeconds, systemText)};
  }
  const IppPrinterAttributes& answer = probe.attributes;
  const bool everywhere = answer.ippEverywhere && answer.pwgRaster;
  if (!answer.mopriaVersion.empty()) {
    // The device's own word: Mopria's list of certified products decides.
    return {DeviceVerdictKind::Mopria, L"reports Mopria certification (" + answer.mopriaVersion +
                                           L")" + (everywhere ? L", IPP Everywhere" : L"")};
  }
  if (everywhere) return {DeviceVerdictKind::IppEverywhere, L"IPP Everywhere"};
  const std::wstring details = NotDriverlessDetails(answer);
  return {DeviceVerdictKind::IppNotDriverless,
          details.empty() ? L"IPP, not driverless" : L"IPP, not driverless: " + details};
}

std::wstring DeviceModelText(const DeviceProbe& probe) {
  if (!probe.probed || probe.failure != ProbeFailure::None) return {};
  const IppPrinterAttributes& answer = probe.attributes;
  std::wstring model(Trimmed(answer.makeAndModel));
  if (model.empty()) {
    const std::wstring_view maker = DeviceIdValue(answer.deviceId, L"MANUFACTURER", L"MFG");
    const std::wstring_view name = DeviceIdValue(answer.deviceId, L"MODEL", L"MDL");
    model = std::wstring(maker);
    if (!maker.empty() && !name.empty()) model += L" ";
    model += name;
  }
  model = DeviceTextWithin(model, kMaxLoggedDeviceText);
  const std::wstring_view firmware = Trimmed(answer.firmware);
  if (!firmware.empty()) {
    model += model.empty() ? L"" : L" ";
    model += L"(firmware " + DeviceTextWithin(firmware, kMaxLoggedDeviceText) + L")";
  }
  return model;
}

std::wstring DeviceTextWithin(std::wstring_view text, size_t most) {
  if (text.size() <= most) return std::wstring(text);
  return std::wstring(text.substr(0, most > 3 ? most - 3 : 0)) + L"...";
}

}  // namespace kestrun
