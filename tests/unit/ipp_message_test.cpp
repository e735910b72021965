#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/device_probe.h"
#include "devices/device_verdict.h"
#include "devices/ipp_message.h"
#include "devices/ipp_transport.h"
#include "report/queue_devices.h"

namespace kestrun {
namespace {

using Bytes = std::vector<unsigned char>;

// Builds IPP messages field by field.
struct Ipp {
  Bytes b;
  explicit Ipp(unsigned code = 0, unsigned char major = 2) : b{major, 0, 0, 0, 0, 0, 0, 1} {
    b[2] = static_cast<unsigned char>(code >> 8);
    b[3] = static_cast<unsigned char>(code);
  }
  Ipp& Tag(unsigned char tag) { return b.push_back(tag), *this; }
  Ipp& Field(std::string_view bytes) {
    b.push_back(static_cast<unsigned char>(bytes.size() >> 8));
    b.push_back(static_cast<unsigned char>(bytes.size()));
    b.insert(b.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Ipp& Attr(unsigned char tag, std::string_view name, std::string_view value) {
    return Tag(tag).Field(name).Field(value);
  }
  Ipp& Open(std::string_view name = "") { return Attr(0x34, name, ""); }
  Ipp& Close() { return Attr(0x37, "", ""); }
  Bytes End(std::string_view after = "") {
    Tag(0x03).b.insert(b.end(), after.begin(), after.end());
    return b;
  }
};

// A response's printer group, begun.
Ipp Group(unsigned status = 0, unsigned char major = 2) { return Ipp(status, major).Tag(0x04); }

// What a verdict reads of the lists: Everywhere, Pwg, pClm, Urf, Versions, 2.0.
std::wstring Lists(const IppPrinterAttributes& r) {
  const bool on[] = {r.ippEverywhere, r.pwgRaster, r.pclm, r.urf, r.versionsGiven, r.ipp2};
  std::wstring text = L"EPCUV2";
  for (size_t i = 0; i < text.size(); ++i) text[i] = on[i] ? text[i] : L'-';
  return text;
}

// A printer's answer shaped like the examples of RFC 8011 and PWG 5100.14.
Ipp Printer(unsigned status = 0, unsigned char major = 2) {
  return Ipp(status, major)
      .Tag(0x01)
      .Attr(0x47, "attributes-charset", "utf-8")
      .Attr(0x48, "attributes-natural-language", "en")
      .Tag(0x04)
      .Attr(0x41, "printer-make-and-model", "Acme Laser 5")
      .Attr(0x41, "printer-device-id", "MFG:Acme;MDL:Laser 5;CMD:PWG,URF;")
      .Attr(0x44, "ipp-versions-supported", "1.1")
      .Attr(0x44, "", "2.0")
      .Attr(0x49, "document-format-supported", "application/pdf")
      .Attr(0x49, "", "image/pwg-raster")
      .Attr(0x49, "", "image/urf")
      .Open("media-col-default")
      .Attr(0x4A, "", "media-size")
      .Open()
      .Attr(0x4A, "", "x-dimension")
      .Attr(0x21, "", std::string("\0\0\x52\x08", 4))
      .Close()
      .Close()
      .Attr(0x44, "ipp-features-supported", "ipp-everywhere")
      .Attr(0x44, "urf-supported", "V1.4")
      .Attr(0x44, "", "W8")
      .Attr(0x41, "printer-firmware-string-version", "2.1.0")
      .Attr(0x41, "", "boot 1.0");
}

TEST(IppMessage, TheRequestAsksForTheEightAttributes) {
  Ipp expected(kIppGetPrinterAttributes);
  expected.b[7] = 7;
  expected.Tag(0x01)
      .Attr(0x47, "attributes-charset", "utf-8")
      .Attr(0x48, "attributes-natural-language", "en")
      .Attr(0x45, "printer-uri", "ipp://h\xc3\xa9:631/ipp/print");
  for (size_t i = 0; i < kProbedAttributeCount; ++i) {
    expected.Attr(0x44, i == 0 ? "requested-attributes" : "", kProbedAttributes[i]);
  }
  EXPECT_EQ(GetPrinterAttributesRequest(L"ipp://h\u00e9:631/ipp/print", 7), expected.End());
  EXPECT_TRUE(GetPrinterAttributesRequest(std::wstring(70000, L'a'), 1).empty());
}

TEST(IppMessage, WellFormedAnswersAreRead) {
  IppPrinterAttributes read;
  const Bytes whole = Printer().End();
  ASSERT_EQ(ReadPrinterAttributes(whole.data(), whole.size(), read), IppReadError::None);
  EXPECT_EQ(read.makeAndModel + L"|" + read.deviceId + L"|" + read.firmware,
            L"Acme Laser 5|MFG:Acme;MDL:Laser 5;CMD:PWG,URF;|2.1.0");
  EXPECT_EQ(Lists(read), L"EP-UV2");
  EXPECT_EQ(read.mopriaVersion, L"");

  const struct {
    const char* what;
    Bytes answer;
    std::wstring model, mopriaVersion;
    std::wstring lists = L"------";
  } cases[] = {
      {"IPP/1.1, a status with a warning, text with language, controls and UTF-8",
       Group(0x0001, 1)
           .Attr(0x35, "printer-make-and-model", {"\0\2en\0\tA\x1b[2J\xc3\xa9 \xff", 15})
           .End(),
       L"A?[2J\u00e9 \ufffd", L""},
      {"mopria-certified as text, a repeat skipped, data after the end",
       Group()
           .Attr(0x41, "mopria-certified", "2.0")
           .Attr(0x41, "printer-make-and-model", "One")
           .Attr(0x41, "printer-make-and-model", "Two")
           .End("\xff"),
       L"One", L"2.0"},
      {"mopria-certified as an integer",
       Group().Attr(0x21, "mopria-certified", {"\0\0\0\3", 4}).End(), L"", L"3"},
      {"mopria-certified as a boolean", Group().Attr(0x22, "mopria-certified", "\1").End(), L"",
       L""},
      {"mopria-certified false", Group().Attr(0x22, "mopria-certified", {"", 1}).End(), L"", L""},
      {"mopria-certified -1", Group().Attr(0x21, "mopria-certified", "\xff\xff\xff\xff").End()},
      {"mopria-certified 1.3 with language",
       Group().Attr(0x35, "mopria-certified", {"\0\2en\0\0031.3", 9}).End(), L"", L"1.3"},
      {"5,000 formats, then PWG raster; versions 1.x",
       [] {
         Ipp ipp = Group().Attr(0x44, "ipp-versions-supported", "1.1").Attr(0x44, "", "1.0");
         ipp.Attr(0x44, "ipp-features-supported", "IPP-Everywhere")
             .Attr(0x49, "document-format-supported", "text/plain");
         for (int i = 0; i < 5000; ++i) ipp.Attr(0x49, "", "application/x-" + std::to_string(i));
         return ipp.Attr(0x49, "", "Image/PWG-Raster").End();
       }(),
       L"", L"", L"EP--V-"},
      {"no-value, another group's attribute of a wanted name",
       Ipp()
           .Tag(0x05)
           .Attr(0x41, "printer-make-and-model", "Other")
           .Tag(0x04)
           .Attr(0x13, "printer-make-and-model", "")
           .End(),
       L"", L""},
      {"collections nested as deep as allowed",
       [] {
         Ipp ipp = Group().Open("deep");
         for (int i = 1; i < kMaxIppNesting; ++i) ipp.Attr(0x4A, "", "m").Open();
         for (int i = 0; i < kMaxIppNesting; ++i) ipp.Close();
         return ipp.Attr(0x41, "printer-make-and-model", "Deep").End();
       }(),
       L"Deep", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(ReadPrinterAttributes(c.answer.data(), c.answer.size(), read), IppReadError::None);
    EXPECT_EQ(read.makeAndModel, c.model);
    EXPECT_EQ(read.mopriaVersion, c.mopriaVersion);
    EXPECT_EQ(Lists(read), c.lists);
  }
  for (const char* notVersion :
       {"false", "0", "no", "0.0", "-1", "2.", ".2", "1..3", "2.0b", "10.0.0.0.0.0.0.10"}) {
    const Bytes answer = Group().Attr(0x41, "mopria-certified", notVersion).End();
    ASSERT_EQ(ReadPrinterAttributes(answer.data(), answer.size(), read), IppReadError::None);
    EXPECT_EQ(read.mopriaVersion, L"") << notVersion;
  }
}

TEST(IppMessage, MalformedAnswersAreRefused) {
  const Bytes whole = Printer().End();
  Ipp tooDeep = Group().Open("deep");
  for (int i = 0; i < kMaxIppNesting; ++i) tooDeep.Attr(0x4A, "", "m").Open();
  const struct {
    const char* what;
    Bytes answer;
    IppReadError error;
  } cases[] = {
      {"nothing", {}, IppReadError::Truncated},
      {"a header cut short", Bytes(whole.begin(), whole.begin() + 7), IppReadError::Truncated},
      {"no end of attributes", Bytes(whole.begin(), whole.end() - 1), IppReadError::Truncated},
      {"cut inside a name", Bytes(whole.begin(), whole.begin() + 60), IppReadError::Truncated},
      {"a value longer than the message",
       Bytes{2, 0, 0, 0, 0, 0, 0, 1, 4, 0x41, 0, 1, 'n', 0x40, 0, 'x', 3}, IppReadError::Truncated},
      {"an HTTP answer", Bytes{'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2'},
       IppReadError::NotIpp},
      {"version 3", Ipp(0, 3).End(), IppReadError::NotIpp},
      {"client-error-not-found", Ipp(0x0406).End(), IppReadError::ErrorStatus},
      {"a value before any group", Ipp().Attr(0x41, "printer-make-and-model", "x").End(),
       IppReadError::BadTag},
      {"a reserved delimiter", Ipp().Tag(0x00).End(), IppReadError::BadTag},
      {"an additional value first", Group().Attr(0x41, "", "x").End(),
       IppReadError::ValueOutOfPlace},
      {"a member name outside a collection", Group().Attr(0x4A, "", "x").End(),
       IppReadError::ValueOutOfPlace},
      {"a named member", Group().Open("c").Attr(0x41, "n", "x").Close().End(),
       IppReadError::ValueOutOfPlace},
      {"an end without its start", Group().Close().End(), IppReadError::Unbalanced},
      {"a group inside a collection", Group().Open("c").Tag(0x04).End(), IppReadError::Unbalanced},
      {"the end inside a collection", Group().Open("c").End(), IppReadError::Unbalanced},
      {"collections nested too deep", tooDeep.End(), IppReadError::TooDeep},
      {"an integer of three bytes",
       Group().Attr(0x21, "mopria-certified", std::string("\0\0\3", 3)).End(),
       IppReadError::BadValue},
      {"text with language whose text overruns it",
       Group().Attr(0x35, "printer-make-and-model", {"\0\2en\0\tabc", 9}).End(),
       IppReadError::BadValue},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    IppPrinterAttributes read;
    read.makeAndModel = L"stale";
    EXPECT_EQ(ReadPrinterAttributes(c.answer.data(), c.answer.size(), read), c.error);
    EXPECT_TRUE(read.makeAndModel.empty());
  }
  IppPrinterAttributes read;
  const Bytes notFound = Ipp(0x0406).End();
  ReadPrinterAttributes(notFound.data(), notFound.size(), read);
  EXPECT_EQ(read.status, 0x0406);
  EXPECT_EQ(IppStatusText(0x0406), L"0x0406 client-error-not-found");
  EXPECT_EQ(IppStatusText(0x04FF), L"0x04FF");
}

TEST(DeviceVerdict, EachAnswerGetsItsVerdictAndModel) {
  const auto answered = [](IppPrinterAttributes attributes) {
    return DeviceProbe{.probed = true, .attributes = attributes};
  };
  const auto failed = [](ProbeFailure failure, DWORD code, IppReadError read = IppReadError::None) {
    return DeviceProbe{.probed = true, .failure = failure, .code = code, .readError = read};
  };
  const struct {
    DeviceProbe probe;
    DeviceVerdictKind kind;
    const wchar_t* text;
  } cases[] = {
      {answered({.ippEverywhere = true, .pwgRaster = true}), DeviceVerdictKind::IppEverywhere,
       L"IPP Everywhere"},
      {answered({.mopriaVersion = L"2.0"}), DeviceVerdictKind::Mopria,
       L"reports Mopria certification (2.0)"},
      {answered({.ippEverywhere = true, .pwgRaster = true, .mopriaVersion = L"2.0"}),
       DeviceVerdictKind::Mopria, L"reports Mopria certification (2.0), IPP Everywhere"},
      {answered({.ippEverywhere = true, .urf = true}), DeviceVerdictKind::IppNotDriverless,
       L"IPP, not driverless: AirPrint only"},
      {answered({.pclm = true, .urf = true, .versionsGiven = true}),
       DeviceVerdictKind::IppNotDriverless, L"IPP, not driverless: IPP 1.x only"},
      {answered({.pwgRaster = true, .versionsGiven = true, .ipp2 = true}),
       DeviceVerdictKind::IppNotDriverless, L"IPP, not driverless"},
      {failed(ProbeFailure::Connection, 12029), DeviceVerdictKind::NoIppAnswer,
       L"No IPP answer: 12029 Cannot connect."},
      {failed(ProbeFailure::TimeLimit, 0), DeviceVerdictKind::NoIppAnswer,
       L"No IPP answer: no answer within 5 s"},
      {failed(ProbeFailure::HttpStatus, 404), DeviceVerdictKind::NoIppAnswer,
       L"No IPP answer: HTTP 404"},
      {failed(ProbeFailure::TooLarge, 0), DeviceVerdictKind::NoIppAnswer,
       L"No IPP answer: the answer is over 1 MiB"},
      {failed(ProbeFailure::NotIpp, 0, IppReadError::NotIpp), DeviceVerdictKind::NoIppAnswer,
       L"No IPP answer: the answer is not IPP"},
      {failed(ProbeFailure::IppStatus, 0x0403), DeviceVerdictKind::NoIppAnswer,
       L"No IPP answer: IPP status 0x0403 client-error-not-authorized"},
      {DeviceProbe{}, DeviceVerdictKind::NotProbed, L"Not probed: not asked"},
      {DeviceProbe{.notProbed = NotProbedReason::WsdPort}, DeviceVerdictKind::NotProbed,
       L"Not probed: WSD port"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const DeviceVerdict verdict = DeviceVerdictOf(c.probe, 5, L" Cannot connect.\r\n ");
    EXPECT_EQ(verdict.kind, c.kind);
    EXPECT_EQ(verdict.text, c.text);
    EXPECT_EQ(IsDriverless(verdict.kind),
              c.kind == DeviceVerdictKind::IppEverywhere || c.kind == DeviceVerdictKind::Mopria);
  }

  DeviceProbe model = answered({});
  model.attributes.deviceId = L"MANUFACTURER:Acme; MODEL: Laser 5 ;CMD:PCL;";
  EXPECT_EQ(DeviceModelText(model), L"Acme Laser 5");
  model.attributes.firmware = L"3.2";
  model.attributes.makeAndModel = L"Acme Laser 5n";
  EXPECT_EQ(DeviceModelText(model), L"Acme Laser 5n (firmware 3.2)");
  EXPECT_EQ(DeviceModelText(failed(ProbeFailure::TimeLimit, 0)), L"");
  model.attributes.makeAndModel.assign(65535, L'M');  // bounded in the log, and where read
  EXPECT_EQ(DeviceModelText(model), std::wstring(1021, L'M') + L"... (firmware 3.2)");
  EXPECT_EQ(DeviceTextWithin(DeviceModelText(model), kMaxShownDeviceText).size(), 200u);
}

TEST(DeviceAddresses, AddressesAreTakenApartAndEachDeviceIsAskedOnce) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      // the address, its printer-uri
      {L"ipp://10.1.2.3/ipp/print", L"ipp://10.1.2.3:631/ipp/print"},
      {L"IPPS://printer.corp:8631", L"ipps://printer.corp:8631/"},
      {L"http://[fe80::1]:80/printers/a?x=1#frag", L"ipp://[fe80::1]:80/printers/a?x=1"},
      {L"https://h/p", L"ipps://h:443/p"},
  };
  NotProbedReason why = NotProbedReason::NotAsked;
  for (const auto& [address, printerUri] : cases) {
    DeviceUri uri;
    ASSERT_TRUE(ParseDeviceUri(address, uri, why)) << address;
    EXPECT_EQ(PrinterUriText(uri), printerUri);
    EXPECT_EQ(uri.secure, std::wstring(printerUri).rfind(L"ipps:", 0) == 0);
  }
  for (const wchar_t* refused :
       {L"wsd://h/p", L"ipp://", L"ipp://user@h/", L"ipp://h:0/", L"ipp://h:65536/",
        L"ipp://h:63x/", L"ipp://h /", L"ipp://[fe80::1/", L"192.168.1.5"}) {
    DeviceUri uri;
    EXPECT_FALSE(ParseDeviceUri(refused, uri, why)) << refused;
  }
  DeviceUri uri;
  EXPECT_FALSE(ParseDeviceUri(L"ipp://h/" + std::wstring(1100, L'a'), uri, why));

  const auto target = [&why](bool tcpIp, const wchar_t* address, DeviceTarget device = {}) {
    EXPECT_TRUE(tcpIp ? TcpIpDeviceTarget(address, device, why)
                      : IppPortTarget(address, device, why));
    return device;
  };
  std::wstring asked;
  for (const DeviceUri& at : target(true, L"fe80::2").addresses) asked += PrinterUriText(at) + L" ";
  EXPECT_EQ(asked,
            L"ipp://[fe80::2]:631/ipp/print ipp://[fe80::2]:631/ipp/printer ipp://[fe80::2]:631/ ");
  DeviceSet devices;
  EXPECT_EQ(devices.Add(target(true, L"10.0.0.1")), 0u);
  EXPECT_EQ(devices.Add(target(false, L"http://10.0.0.1:631/ipp/print")), 1u);
  EXPECT_EQ(devices.Add(target(true, L"10.0.0.1")), 0u);
  EXPECT_EQ(devices.Add(target(false, L"HTTP://10.0.0.1:631/ipp/print")), 1u);
  EXPECT_EQ(devices.Devices().size(), 2u);
}

// The first address a printer's device is asked at, or why it is not asked.
std::wstring Asked(PortKind kind, std::wstring_view address) {
  DeviceTarget device;
  DeviceProbe no;
  return DeviceOfQueue(kind, address, device, no.notProbed) ? PrinterUriText(device.addresses[0])
                                                            : DeviceVerdictOf(no, 5, L"").text;
}

TEST(DeviceAddresses, OnlyAHostNameOrAddressIsAskedAtTheAddressBuiltFromItsParts) {
  constexpr PortKind kTcp = PortKind::TcpIp, kIpp = PortKind::Ipp;
  const std::wstring noHost = L"Not probed: the port's host is not a host name or address";
  const std::wstring noPort = L"Not probed: the address's port is not a number from 1 to 65535";
  const std::wstring label(63, L'a');
  const std::wstring longest = label + L"." + label + L"." + label + L"." + std::wstring(61, L'b');
  const struct {
    PortKind kind;
    std::wstring address, asked;
  } cases[] = {
      {kTcp, L"printer.example.com", L"ipp://printer.example.com:631/ipp/print"},
      {kTcp, L"10.1.2.3:9100", L"ipp://10.1.2.3:631/ipp/print"},
      {kTcp, L"127.0.0.1:19600", L"ipp://127.0.0.1:631/ipp/print"},
      {kTcp, L"Printer-7 (LPR queue 1)", L"ipp://Printer-7:631/ipp/print"},
      {kTcp, L"fe80::1", L"ipp://[fe80::1]:631/ipp/print"},
      {kTcp, L"fe80::1:9100", L"ipp://[fe80::1]:631/ipp/print"},
      {kTcp, L"[::1]:631", L"ipp://[::1]:631/ipp/print"},
      {kTcp, longest + L":9100", L"ipp://" + longest + L":631/ipp/print"},
      {kTcp, L"", L"Not probed: no device address"},
      {kTcp, L"h\x1b[2J:9100", noHost},
      {kIpp, L"http://srv/printers/A B/.printer#x", L"ipp://srv:80/printers/A%20B/.printer"},
      {kIpp, L"ipp://h/x?[]\u00e9", L"ipp://h:631/x?%5B%5D%C3%A9"},
      {kIpp, L"ipp://host:99999/x", noPort},
      {kIpp, L"ipp://h/x\r\nHost: y", L"Not probed: the address has control characters"},
      {kIpp, L"ftp://x/", L"Not probed: not an ipp, ipps, http or https address"},
      {kIpp, L"ipp://fe80::1/x", noHost},
      {kIpp, L"ipp:///x", noHost},
  };
  for (const auto& c : cases) EXPECT_EQ(Asked(c.kind, c.address), c.asked) << c.address;
  // Hosts that are none, "|" between them, alone and in an IPP port's address.
  std::wstring notHosts = std::wstring(300, L'a') + L"|" + longest + L"b|" + label + L"a.x|" +
                          L"127.0.0.3]:19690/x?[:9100|127.0.0.3]:19690/x?[|[10.1.2.3]|[fe80::1|"
                          L"10.1.2.3 (LPR x) (LPR q)|[[::1]]:9100|1::2::3|[1:2:3:4::5:6:7:8]|"
                          L"1:2:3:4:5:6:7:8:9:a|::1.2.3.4.5|a b:9100|256.1.1.1:9100|010.1.2.3|"
                          L"1.2.3|printer.|-printer|print_er|caf\u00e9|user@h|[::1]x";
  for (size_t at = 0, end = 0; end != notHosts.npos; at = end + 1) {
    end = notHosts.find(L'|', at);
    const std::wstring host = notHosts.substr(at, end - at);
    EXPECT_EQ(Asked(kTcp, host), noHost) << host;
    EXPECT_EQ(Asked(kIpp, L"ipp://" + host + L"/x"), noHost) << host;
  }
}

}  // namespace
}  // namespace kestrun
