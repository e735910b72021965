#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/device_probe.h"
#include "devices/device_verdict.h"
#include "devices/ipp_message.h"
#include "devices/ipp_transport.h"

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
  EXPECT_EQ(read.versions, (std::vector<std::wstring>{L"1.1", L"2.0"}));
  EXPECT_EQ(read.formats.size() + read.features.size() * 10 + read.urfSupported.size() * 100, 213u);
  EXPECT_FALSE(read.mopriaCertified);

  const struct {
    const char* what;
    Bytes answer;
    std::wstring model;
    bool mopria;
    std::wstring mopriaVersion;
  } cases[] = {
      {"IPP/1.1, a status with a warning, text with language, controls and UTF-8",
       Group(0x0001, 1)
           .Attr(0x35, "printer-make-and-model", {"\0\2en\0\tA\x1b[2J\xc3\xa9 \xff", 15})
           .End(),
       L"A?[2J\u00e9 \ufffd", false, L""},
      {"mopria-certified as text, a repeat skipped, data after the end",
       Group()
           .Attr(0x41, "mopria-certified", "2.0")
           .Attr(0x41, "printer-make-and-model", "One")
           .Attr(0x41, "printer-make-and-model", "Two")
           .End("\xff"),
       L"One", true, L"2.0"},
      {"mopria-certified as an integer",
       Group().Attr(0x21, "mopria-certified", {"\0\0\0\3", 4}).End(), L"", true, L"3"},
      {"mopria-certified as a boolean", Group().Attr(0x22, "mopria-certified", "\1").End(), L"",
       true, L""},
      {"mopria-certified false", Group().Attr(0x22, "mopria-certified", {"", 1}).End(), L"", false,
       L""},
      {"no-value, another group's attribute of a wanted name",
       Ipp()
           .Tag(0x05)
           .Attr(0x41, "printer-make-and-model", "Other")
           .Tag(0x04)
           .Attr(0x13, "printer-make-and-model", "")
           .End(),
       L"", false, L""},
      {"collections nested as deep as allowed",
       [] {
         Ipp ipp = Group().Open("deep");
         for (int i = 1; i < kMaxIppNesting; ++i) ipp.Attr(0x4A, "", "m").Open();
         for (int i = 0; i < kMaxIppNesting; ++i) ipp.Close();
         return ipp.Attr(0x41, "printer-make-and-model", "Deep").End();
       }(),
       L"Deep", false, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(ReadPrinterAttributes(c.answer.data(), c.answer.size(), read), IppReadError::None);
    EXPECT_EQ(read.makeAndModel, c.model);
    EXPECT_EQ(read.mopriaCertified, c.mopria);
    EXPECT_EQ(read.mopriaVersion, c.mopriaVersion);
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
  using List = std::vector<std::wstring>;
  const auto answered = [](List features, List formats, List versions = {}) {
    return DeviceProbe{
        .probed = true,
        .attributes = {.features = features, .versions = versions, .formats = formats}};
  };
  const auto failed = [](ProbeFailure failure, DWORD code, IppReadError read = IppReadError::None) {
    return DeviceProbe{.probed = true, .failure = failure, .code = code, .readError = read};
  };
  DeviceProbe mopria = answered({}, {L"application/pdf"});
  mopria.attributes.mopriaCertified = true;
  mopria.attributes.mopriaVersion = L"2.0";
  const struct {
    DeviceProbe probe;
    DeviceVerdictKind kind;
    const wchar_t* text;
  } cases[] = {
      {answered({L"IPP-Everywhere"}, {L"image/PWG-raster"}), DeviceVerdictKind::IppEverywhere,
       L"IPP Everywhere"},
      {mopria, DeviceVerdictKind::Mopria, L"Mopria 2.0"},
      {answered({L"ipp-everywhere"}, {L"image/urf"}), DeviceVerdictKind::IppNotDriverless,
       L"IPP, not driverless: AirPrint only"},
      {answered({}, {L"application/pdf", L"image/pwg-raster"}, {L"1.0", L"1.1"}),
       DeviceVerdictKind::IppNotDriverless, L"IPP, not driverless: IPP 1.x only"},
      {answered({}, {}), DeviceVerdictKind::IppNotDriverless, L"IPP, not driverless"},
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

  DeviceProbe model = answered({}, {});
  model.attributes.deviceId = L"MANUFACTURER:Acme; MODEL: Laser 5 ;CMD:PCL;";
  EXPECT_EQ(DeviceModelText(model), L"Acme Laser 5");
  model.attributes.firmware = L"3.2";
  model.attributes.makeAndModel = L"Acme Laser 5n";
  EXPECT_EQ(DeviceModelText(model), L"Acme Laser 5n (firmware 3.2)");
  EXPECT_EQ(DeviceModelText(failed(ProbeFailure::TimeLimit, 0)), L"");
}

TEST(DeviceAddresses, AddressesAreTakenApartAndEachDeviceIsAskedOnce) {
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      // the address, its printer-uri
      {L"ipp://10.1.2.3/ipp/print", L"ipp://10.1.2.3:631/ipp/print"},
      {L"IPPS://printer.corp:8631", L"ipps://printer.corp:8631/"},
      {L"http://[fe80::1]:80/printers/a?x=1#frag", L"ipp://[fe80::1]:80/printers/a?x=1"},
      {L"https://h/p", L"ipps://h:443/p"},
  };
  for (const auto& [address, printerUri] : cases) {
    DeviceUri uri;
    ASSERT_TRUE(ParseDeviceUri(address, uri)) << address;
    EXPECT_EQ(PrinterUriText(uri), printerUri);
    EXPECT_EQ(uri.secure, std::wstring(printerUri).rfind(L"ipps:", 0) == 0);
  }
  for (const wchar_t* refused :
       {L"wsd://h/p", L"ipp://", L"ipp://user@h/", L"ipp://h:0/", L"ipp://h:65536/",
        L"ipp://h:63x/", L"ipp://h /", L"ipp://[fe80::1/", L"192.168.1.5"}) {
    DeviceUri uri;
    EXPECT_FALSE(ParseDeviceUri(refused, uri)) << refused;
  }
  DeviceUri uri;
  EXPECT_FALSE(ParseDeviceUri(L"ipp://h/" + std::wstring(1100, L'a'), uri));

  EXPECT_EQ(
      TcpIpDeviceTarget(L"fe80::2").addresses,
      (std::vector<std::wstring>{L"ipp://[fe80::2]:631/ipp/print",
                                 L"ipp://[fe80::2]:631/ipp/printer", L"ipp://[fe80::2]:631/"}));
  DeviceSet devices;
  EXPECT_EQ(devices.Add(TcpIpDeviceTarget(L"10.0.0.1")), 0u);
  EXPECT_EQ(devices.Add(IppPortTarget(L"http://10.0.0.1:631/ipp/print")), 1u);
  EXPECT_EQ(devices.Add(TcpIpDeviceTarget(L"10.0.0.1")), 0u);
  EXPECT_EQ(devices.Add(IppPortTarget(L"HTTP://10.0.0.1:631/ipp/print")), 1u);
  EXPECT_EQ(devices.Devices().size(), 2u);
}

}  // namespace
}  // namespace kestrun
