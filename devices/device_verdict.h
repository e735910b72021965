// What a device itself says about printing without a vendor driver: the
// "Device" verdict and the "Device Model" of a printer, from what its probe
// found. Records in, texts out: nothing here asks the device.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "devices/ipp_message.h"

namespace kestrun {

// Why a printer's device was not asked.
enum class NotProbedReason {
  NotAsked,           // no probe has run
  WsdPort,            // a WSD port: its device is found by discovery, not by an address
  LocalPort,          // LPTn:, COMn:, FILE:, a file
  Connection,         // a connection to another server's printer
  OtherPort,          // a port of another monitor
  NoAddress,          // a TCP/IP port whose address could not be read
  NoIppAddress,       // an IPP monitor's port whose address could not be read
  BadAddress,         // an IPP port's address of another scheme than ipp, ipps, http or https
  BadHost,            // a host that is not a DNS name, an IPv4 or an IPv6 address
  BadPortNumber,      // an IPP port's address whose port is not 1 to 65535
  ControlCharacters,  // an IPP port's address with control characters
  TooLong,            // an IPP port's address over 1024 characters
  Cancelled,          // the probe was cancelled before it reached the device
  NoWinHttp,          // WinHTTP could not be loaded (`code`)
};

// How a device that was asked failed to answer IPP.
enum class ProbeFailure {
  None,        // it answered
  Connection,  // no HTTP exchange: the system's `code`
  TimeLimit,   // no whole answer within the time limit
  HttpStatus,  // HTTP status `code` instead of 200
  TooLarge,    // an answer over kMaxIppAnswerBytes
  NotIpp,      // an answer the IPP reader refused (`readError`)
  IppStatus,   // an IPP error status (`code`)
};

struct DeviceProbe {
  bool probed = false;
  NotProbedReason notProbed = NotProbedReason::NotAsked;  // when not probed
  ProbeFailure failure = ProbeFailure::None;              // when probed
  DWORD code = 0;
  IppReadError readError = IppReadError::None;
  IppPrinterAttributes attributes;  // when it answered
};

// Mopria: Mopria certified, IPP Everywhere or not; IppEverywhere: IPP
// Everywhere without Mopria certification.
enum class DeviceVerdictKind { IppEverywhere, Mopria, IppNotDriverless, NoIppAnswer, NotProbed };

struct DeviceVerdict {
  DeviceVerdictKind kind = DeviceVerdictKind::NotProbed;
  std::wstring text;
};

// "Mopria N" when mopria-certified is a version, "Mopria N (IPP
// Everywhere)" when the device is IPP Everywhere too; "IPP Everywhere" when
// ipp-features-supported holds ipp-everywhere and document-format-supported
// holds image/pwg-raster; "IPP, not driverless" (": AirPrint only" when
// image/urf is its only raster format, ": IPP 1.x only" below IPP/2.0) for
// any other answer; "No IPP answer: ..." with the HTTP status, the error
// and `systemText` (the system's text for a connection's code), the time
// limit, or what was wrong with the answer; "Not probed: ..." with why.
DeviceVerdict DeviceVerdictOf(const DeviceProbe& probe, unsigned limitSeconds,
                              std::wstring_view systemText);

// True for the verdicts of a device the inbox IPP class driver can print to.
constexpr bool IsDriverless(DeviceVerdictKind kind) {
  return kind == DeviceVerdictKind::IppEverywhere || kind == DeviceVerdictKind::Mopria;
}

// printer-make-and-model (else the maker and model of printer-device-id),
// with " (firmware X)" when the device names its firmware; empty when the
// device did not answer.
std::wstring DeviceModelText(const DeviceProbe& probe);

// A device's text is bounded where people read it: a model or firmware text
// at most this long in a log, the whole Device Model at most this long on a
// console line or in a window ("..." after what is cut).
constexpr size_t kMaxLoggedDeviceText = 1024;
constexpr size_t kMaxShownDeviceText = 200;
std::wstring DeviceTextWithin(std::wstring_view text, size_t most);

}  // namespace kestrun
