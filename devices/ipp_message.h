// The IPP messages of a device probe, in IPP's binary encoding (RFC 8010):
// the one request Kestrun sends, Get-Printer-Attributes, and the reader of
// its response. Bytes in, bytes or records out: nothing here touches the
// network. A response is a device's, so nothing in it is trusted: every
// length is checked against the bytes received before anything is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

constexpr uint16_t kIppGetPrinterAttributes = 0x000B;

// Collections may nest this deep (a printer's media-col-database nests two).
constexpr int kMaxIppNesting = 16;
// A longer mopria-certified value is no version.
constexpr size_t kMaxMopriaVersionCharacters = 16;

// The attributes a probe asks for, in the request's order.
constexpr size_t kProbedAttributeCount = 8;
extern const char* const kProbedAttributes[kProbedAttributeCount];

// Text as a request carries it.
std::string Utf8(std::wstring_view text);

// IPP/2.0 Get-Printer-Attributes: attributes-charset utf-8,
// attributes-natural-language en, printer-uri (sent as UTF-8) and
// requested-attributes naming kProbedAttributes. Empty when the address is
// longer than a value can be (65535 bytes).
std::vector<unsigned char> GetPrinterAttributesRequest(std::wstring_view printerUri,
                                                       uint32_t requestId);

enum class IppReadError {
  None,
  Truncated,        // the message ends inside a field, or before end-of-attributes
  NotIpp,           // its version is not IPP 1.x or 2.x
  BadTag,           // a reserved delimiter, or a value before any group
  ValueOutOfPlace,  // an additional value with no attribute, a named member in a collection
  BadValue,         // an integer, boolean or text with language whose length is not its own
  Unbalanced,       // an end of collection without its start, or a group that ends a collection
  TooDeep,          // collections nested deeper than kMaxIppNesting
  ErrorStatus,      // the status code is not a successful one
};

// What a probe reads of a printer's answer. Texts are as shown: UTF-8
// decoded, control characters as "?". Of the lists only what a verdict needs
// is kept, every value read however many there are.
struct IppPrinterAttributes {
  uint16_t status = 0;
  std::wstring makeAndModel;   // printer-make-and-model
  std::wstring deviceId;       // printer-device-id
  std::wstring firmware;       // printer-firmware-string-version, first value
  bool ippEverywhere = false;  // ipp-features-supported holds ipp-everywhere
  bool pwgRaster = false;      // document-format-supported holds image/pwg-raster
  bool pclm = false;           // ... application/PCLm
  bool urf = false;            // ... image/urf, or urf-supported has a value
  bool versionsGiven = false;  // ipp-versions-supported has a value
  bool ipp2 = false;           // ... one of 2.0 or later
  // mopria-certified when it is a version ("2.0": digits and dots, not all
  // zeros; an integer as its digits); empty for any other value or none.
  std::wstring mopriaVersion;
};

// Reads a Get-Printer-Attributes response of `size` bytes. On ErrorStatus
// `attributes.status` holds the status; on any other error nothing read
// is kept.
IppReadError ReadPrinterAttributes(const unsigned char* bytes, size_t size,
                                   IppPrinterAttributes& attributes);

// "the answer ends too early", ... for a verdict's text.
const wchar_t* IppReadErrorText(IppReadError error);

// A status code's keyword ("client-error-not-found"), or its number as
// "0x0406" when the code is not a registered one.
std::wstring IppStatusText(uint16_t status);

}  // namespace kestrun
