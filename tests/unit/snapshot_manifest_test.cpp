#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

#include "common/sha256.h"
#include "inventory/snapshot_manifest.h"

namespace kestrun {
namespace {

// A snapshot with a field of every kind and every text a line could break on.
Snapshot Sample() {
  Snapshot s;
  s.machine = L"SRVA";
  s.targetName = L"\\\\SRVA";
  s.isRemote = true;
  s.taken = L"2026-12-09T03:15:42Z";
  s.packages.push_back({L"C:\\Windows\\System32\\DriverStore\\FileRepository\\acme\\acme.inf",
                        L"Windows x64", L"packages\\0\\acme"});
  SnapshotDriver d;
  d.name = L"Acme PCL6 \\ \u00c9 \U0001F5A8";
  d.environment = L"Windows x64";
  d.driverPath = L"C:\\Windows\\System32\\spool\\DRIVERS\\x64\\3\\ACME.DLL";
  d.dependentFiles = std::wstring(L"A.DLL\0B.DLL", 11);
  d.previousNames = std::wstring(1, L'\xD800') + L"half";  // half a surrogate pair
  d.version = 3;
  d.driverDate = 0x01D0000012345678ull;
  d.driverVersion = 0xFFFFFFFFFFFFFFFFull;
  d.package = 0;
  s.drivers.push_back(d);
  s.files.push_back(
      {0, kNoOwner, L"drivers\\x64\\3\\ACME.DLL", d.driverPath, 12, std::string(64, 'a')});
  s.files.push_back(
      {kNoOwner, 0, L"packages\\0\\acme\\acme.inf", L"acme.inf", 3, std::string(64, 'b')});
  SnapshotPrinter p;
  p.name = L"\\\\SRVA\\HR Laser";
  p.portName = L"IP_10.1.2.3";
  p.comment = L"Floor 2\tEast\r\nby the lift";
  p.attributes = 0x240;
  p.devMode.assign(sizeof(DEVMODEW) + 2, 0);  // the public part and two private bytes
  p.devMode[offsetof(DEVMODEW, dmSize)] = sizeof(DEVMODEW);
  p.devMode[offsetof(DEVMODEW, dmDriverExtra)] = 2;
  p.data.push_back({L"PrinterDriverData", L"Tray=2", REG_BINARY, {0xAB, 0x00}});
  s.printers.push_back(p);
  return s;
}

TEST(SnapshotManifest, ReadsBackWhatItWritesAndRefusesAnythingElseNamingTheLine) {
  const std::string text = ManifestText(Sample());
  Snapshot read;
  std::wstring problem;
  ASSERT_TRUE(ReadManifest(text, read, problem)) << std::string(problem.begin(), problem.end());
  EXPECT_EQ(ManifestText(read), text) << "every field, escaped or binary, comes back whole";
  EXPECT_EQ(read.drivers[0].name, Sample().drivers[0].name);
  EXPECT_EQ(read.drivers[0].dependentFiles, Sample().drivers[0].dependentFiles);
  EXPECT_EQ(read.files[0].line, 5u);
  EXPECT_NE(text.find("\tcomment=Floor 2\\tEast\\r\\nby the lift"), std::string::npos)
      << "a comment's TAB and line breaks are escaped";

  const auto replaced = [&text](const std::string& from, const std::string& to) {
    std::string changed = text;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  const struct {
    const char* what;
    std::string manifest;
    const wchar_t* problem;
  } refused[] = {
      {"empty", "", L"line 1: the manifest is empty"},
      {"foreign", "Name,Value\r\n", L"line 1: this is not a Kestrun snapshot"},
      {"newer", replaced("snapshot 2", "snapshot 3"), L"line 1: the snapshot was made by a newer"},
      {"cut short", text.substr(0, text.find("end\t")),
       L"line 8: the manifest ends before its end line"},
      {"cut inside a line", text.substr(0, text.size() - 3),
       L"line 9: the manifest ends in the middle"},
      {"a record lost", replaced("records=7", "records=8"), L"line 9: the end line does not count"},
      {"a blank line", replaced("\r\nprinter\t", "\r\n\r\nprinter\t"),
       L"line 7: the line is empty"},
      {"CR CR LF", replaced("snapshot 2\r\n", "snapshot 2\r\r\n"),
       L"line 1: the line ends in two carriage returns"},
      {"bad hex", replaced("devMode=00", "devMode=0x"), L"line 7: the field \"devMode\""},
      {"odd hex", replaced("devMode=00", "devMode=0"), L"line 7: the field \"devMode\""},
      {"bad escape", replaced("East\\r", "East\\q"), L"line 7: the field \"comment\""},
      {"a field missing", replaced("\tversion=3", ""), L"line 4: the field \"version\""},
      {"a number too large", replaced("version=3", "version=4294967296"),
       L"line 4: the field \"version\""},
      {"a file outside", replaced("stored=drivers", "stored=..\\\\drivers"),
       L"line 5: a file lies outside"},
      {"a drive", replaced("stored=drivers", "stored=C:\\\\drivers"),
       L"line 5: a file lies outside"},
      {"a driver's unknown package", replaced("package=0\r", "package=9\r"),
       L"line 4: the driver names a package"},
      {"a bad checksum", replaced(std::string(64, 'a'), std::string(63, 'a')),
       L"line 5: the field \"sha256\""},
      {"an unknown kind", replaced("printer\t", "plotter\t"),
       L"line 7: a record of an unknown kind"},
      {"a key twice", replaced("\tportName=", "\tname=x\tportName="),
       L"line 7: a field is not key=value"},
      {"not UTF-8", replaced("HR Laser", "HR \xC3\x28Laser"),
       L"line 7: the line is not UTF-8 text"},
      {"a value of no printer", replaced("value\tprinter=0", "value\tprinter=1"),
       L"line 8: a printer value"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.what);
    Snapshot damaged;
    EXPECT_FALSE(ReadManifest(c.manifest, damaged, problem));
    EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << std::string(problem.begin(), problem.end());
  }
  // An editor's byte-order mark is no damage.
  EXPECT_TRUE(ReadManifest("\xEF\xBB\xBF" + text, read, problem));

  for (const wchar_t* inside : {L"a", L"drivers\\x64\\3\\A.DLL", L"p\\0\\x y"}) {
    EXPECT_TRUE(IsPathInside(inside)) << std::wstring(inside);
  }
  for (const wchar_t* outside : {L"", L"\\a", L"a\\", L"a\\\\b", L"..", L"a\\..\\b", L".\\a",
                                 L"C:a", L"a:stream", L"a/b", L"a\\b?", L"\\\\SRV\\x"}) {
    EXPECT_FALSE(IsPathInside(outside)) << std::wstring(outside);
  }
}

// What a restore hands the spooler must read as it is written: each rule of
// the reader, with the line it names (an empty problem: read).
TEST(SnapshotManifest, RefusesWhatTheSpoolerWouldReadOtherwiseOrTwice) {
  const std::string text = ManifestText(Sample());
  const auto r = [&text](const std::string& from, const std::string& to) {
    std::string changed = text;
    return changed.replace(changed.find(from), from.size(), to);
  };
  const auto w = [](const std::function<void(Snapshot&)>& change) {
    Snapshot s = Sample();
    change(s);
    return ManifestText(s);
  };
  PSECURITY_DESCRIPTOR whole = nullptr;  // a real one, self-relative
  ULONG wholeSize = 0;
  ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:(A;;GA;;;WD)", 1, &whole,
                                                         &wholeSize);
  const std::vector<BYTE> security(static_cast<BYTE*>(whole), static_cast<BYTE*>(whole) + wholeSize);
  ::LocalFree(whole);
  SnapshotPort port;
  port.name = L"IP_10.0.0.1";
  port.host = L"10.0.0.1";
  port.portNumber = 9100;
  const auto withPort = [&](const std::string& from, const std::string& to) {
    Snapshot s = Sample();
    s.ports = {port};
    std::string changed = ManifestText(s);
    return changed.replace(changed.find(from), from.size(), to);
  };
  const size_t machineAt = text.find("machine\t");
  const std::string machine = text.substr(machineAt, text.find("package\t") - machineAt);
  const std::string spooler = "spooler=\\\\\\\\SRVA";
  const std::pair<std::string, std::wstring> cases[] = {
      {r(spooler, "spooler=\\\\\\\\OTHERSRV"),
       L"line 2: the spooler \\\\OTHERSRV is not the machine SRVA's"},
      {r(spooler, "spooler="), L"line 2: the spooler  is not the machine SRVA's"},
      {r("remote=1", "remote=0"), L"line 2: the spooler \\\\SRVA is not"},
      {r(spooler, "spooler=\\\\\\\\srva"), L""},
      {w([](Snapshot& s) { s.isRemote = false, s.targetName.clear(); }), L""},
      {r("machine=SRVA", "machine=SRVA\\\\print$"), L"line 2: the machine line names no machine"},
      {r("package\t", machine + "package\t"), L"line 3: a second machine line"},
      {r(machine, ""), L"line 2: a record before the machine line"},
      {r("snapshot 2", "snapshot 99999999999"),
       L"line 1: the snapshot was made by a newer Kestrun (format 99999999999)"},
      {r("name=Acme PCL6", "name=Acme\\0Shadow"),
       L"line 4: the field \"name\" holds a control character"},
      {r("name=Acme PCL6", "name=Acme\x01PCL6"), L"line 4: the field \"name\""},
      {r("A.DLL\\0B.DLL", "A.DLL\\0\\0B.DLL"), L"line 4: the field \"dependentFiles\" holds"},
      {r("infPath=C:", "infPath=a/../../outside/evil.inf\tx="),
       L"line 3: a package's INF path is not a plain path"},
      {r("FileRepository", "FileRepository\\\\."), L"line 3: a package's INF path"},
      {r("acme\\\\acme.inf\t", "acme\\\\other.inf\t"),
       L"line 3: the package's INF is not one of its files"},
      {r("=packages\\\\0\\\\acme\\\\", "=packages\\\\0\\\\acm\\\\"),
       L"line 6: a package's file lies outside the package's folder"},
      {r("ACME.DLL\toriginal", "ACME.DLL.\toriginal"), L"line 5: a file lies outside"},
      {r("ACME.DLL\toriginal", "CON.GPD\toriginal"), L"line 5: a file lies outside"},
      {r("ACME.DLL\toriginal", "ACME~1.DLL\toriginal"), L"line 5: a file lies outside"},
      {r("ACME.DLL\tdataFile", "ACME.DLL \tdataFile"),
       L"line 4: a driver names a file Windows would read under another name"},
      {r("original=acme.inf", "original=acme.inf."), L"line 6: a file's original name"},
      {w([](Snapshot& s) { s.printers[0].devMode[offsetof(DEVMODEW, dmDriverExtra) + 1] = 0xFF; }),
       L"line 7: the printer's DEVMODE does not hold the sizes it states"},
      {w([](Snapshot& s) {
         s.printers[0].securityDescriptor = {1, 0, 4, 0x80, 0xF0, 0, 0, 0, 0, 0,
                                             0, 0, 0, 0,    0,    0, 0, 0, 0, 0};
       }),
       L"line 7: the printer's security descriptor is not a whole self-relative one"},
      {w([&](Snapshot& s) { s.printers[0].securityDescriptor = security; }), L""},
      {w([](Snapshot& s) { s.drivers.push_back(s.drivers[0]); }),
       L"line 5: the driver is given twice (first on line 4)"},
      {w([](Snapshot& s) {
         s.printers.push_back(s.printers[0]), s.printers[1].name = L"\\\\SRVA\\hr laser";
       }),
       L"line 9: the printer is given twice (first on line 7)"},
      {w([](Snapshot& s) { s.files.push_back(s.files[0]); }), L"line 7: the file is given twice"},
      // A copy's ports (format 2); a format 1 snapshot still reads, without them.
      {r("snapshot 2", "snapshot 1"), L""},
      {w([&](Snapshot& s) { s.ports = {port}; }), L""},
      {withPort("snapshot 2", "snapshot 1"), L"line 9: a record of an unknown kind"},
      {withPort("protocol=1", "protocol=3"), L"line 9: the port's settings are not a TCP/IP"},
      {withPort("portNumber=9100", "portNumber=0"), L"line 9: the port's settings are not"},
      {withPort("host=10.0.0.1", "host=" + std::string(49, 'h')), L"line 9: the port's settings"},
      {w([&](Snapshot& s) {
         s.ports = {port, port};
       }),
       L"line 10: the port is given twice"},
  };
  for (const auto& [manifest, refused] : cases) {
    SCOPED_TRACE(std::string(refused.begin(), refused.end()));
    Snapshot read;
    std::wstring problem;
    EXPECT_EQ(ReadManifest(manifest, read, problem), refused.empty());
    EXPECT_EQ(problem.rfind(refused, 0), 0u) << std::string(problem.begin(), problem.end());
    if (refused.empty()) {
      EXPECT_EQ(read.targetName, read.isRemote ? L"\\\\SRVA" : L"\\\\");
    }
  }
}

TEST(SnapshotManifest, ChecksumsAreSha256) {
  const struct {
    std::string input;
    const char* digest;
  } vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    for (const bool accelerated : {true, false}) {  // the processor's instructions, and without
      Sha256 whole(accelerated);
      whole.Add(v.input.data(), v.input.size());
      EXPECT_EQ(whole.FinishHex(), v.digest);
      Sha256 pieces(accelerated);  // in pieces that straddle the 64-byte blocks
      for (size_t at = 0; at < v.input.size(); at += 63) {
        pieces.Add(v.input.data() + at, std::min<size_t>(63, v.input.size() - at));
      }
      EXPECT_EQ(pieces.FinishHex(), v.digest);
    }
  }
}

}  // namespace
}  // namespace kestrun
