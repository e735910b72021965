#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstddef>
#include <cstring>
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
      {"newer", replaced("snapshot 1", "snapshot 2"), L"line 1: the snapshot was made by a newer"},
      {"cut short", text.substr(0, text.find("end\t")),
       L"line 8: the manifest ends before its end line"},
      {"cut inside a line", text.substr(0, text.size() - 3),
       L"line 9: the manifest ends in the middle"},
      {"a record lost", replaced("records=7", "records=8"), L"line 9: the end line does not count"},
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
// the reader, with the line it names.
TEST(SnapshotManifest, RefusesWhatTheSpoolerWouldReadOtherwiseOrTwice) {
  const std::string text = ManifestText(Sample());
  const auto replaced = [&text](const std::string& from, const std::string& to) {
    std::string changed = text;
    changed.replace(changed.find(from), from.size(), to);
    return changed;
  };
  const auto written = [](void (*change)(Snapshot&)) {
    Snapshot s = Sample();
    change(s);
    return ManifestText(s);
  };
  const std::string machineLine =
      text.substr(text.find("machine\t"), text.find("package\t") - text.find("machine\t"));
  const auto devModeWith = [](size_t at, WORD value) {
    Snapshot s = Sample();
    std::memcpy(s.printers[0].devMode.data() + at, &value, sizeof(value));
    return ManifestText(s);
  };
  const struct {
    const char* what;
    std::string manifest;
    const wchar_t* problem;  // empty: read
  } cases[] = {
      {"the spooler of another server",
       replaced("spooler=\\\\\\\\SRVA", "spooler=\\\\\\\\OTHERSRV"),
       L"line 2: the spooler \\\\OTHERSRV is not the machine SRVA's"},
      {"no spooler for a remote machine", replaced("spooler=\\\\\\\\SRVA", "spooler="),
       L"line 2: the spooler  is not"},
      {"a server's spooler for this computer", replaced("remote=1", "remote=0"),
       L"line 2: the spooler \\\\SRVA is not"},
      {"the spooler in other letters", replaced("spooler=\\\\\\\\SRVA", "spooler=\\\\\\\\srva"),
       L""},
      {"this computer's empty spooler",
       written([](Snapshot& s) { s.isRemote = false, s.targetName.clear(); }), L""},
      {"a machine that is a path", replaced("machine=SRVA", "machine=SRVA\\\\print$"),
       L"line 2: the machine line names no machine"},
      {"a second machine line", replaced("package\t", machineLine + "package\t"),
       L"line 3: a second machine line"},
      {"no machine line", replaced(machineLine, ""), L"line 2: a record before the machine line"},
      {"a far newer format", replaced("snapshot 1", "snapshot 99999999999"),
       L"line 1: the snapshot was made by a newer Kestrun (format 99999999999)"},
      {"a NUL in a name", replaced("name=Acme PCL6", "name=Acme\\0Shadow"),
       L"line 4: the field \"name\" holds a control character"},
      {"a raw control byte", replaced("name=Acme PCL6", "name=Acme\x01PCL6"),
       L"line 4: the field \"name\""},
      {"an escaped control in a port", replaced("IP_10", "IP\\u001b10"),
       L"line 7: the field \"portName\" holds"},
      {"an empty string in a list", replaced("A.DLL\\0B.DLL", "A.DLL\\0\\0B.DLL"),
       L"line 4: the field \"dependentFiles\" holds"},
      {"an INF path that climbs", replaced("infPath=C:", "infPath=a/../../outside/evil.inf\tx="),
       L"line 3: a package's INF path is not a plain path"},
      {"an INF path with a dot part", replaced("FileRepository", "FileRepository\\\\."),
       L"line 3: a package's INF path"},
      {"an INF that is no file of its package",
       replaced("acme\\\\acme.inf\t", "acme\\\\other.inf\t"),
       L"line 3: the package's INF is not one of its files"},
      {"a stored name with a trailing dot", replaced("ACME.DLL\toriginal", "ACME.DLL.\toriginal"),
       L"line 5: a file lies outside"},
      {"a device's name", replaced("ACME.DLL\toriginal", "CON.GPD\toriginal"),
       L"line 5: a file lies outside"},
      {"an 8.3 alias", replaced("ACME.DLL\toriginal", "ACME~1.DLL\toriginal"),
       L"line 5: a file lies outside"},
      {"a driver file with a trailing blank",
       replaced("3\\\\ACME.DLL\tdataFile", "3\\\\ACME.DLL \tdataFile"),
       L"line 4: a driver names a file Windows would read under another name"},
      {"a dependent printer port", replaced("B.DLL", "LPT1.DLL"), L"line 4: a driver names a file"},
      {"an original with a trailing dot", replaced("original=acme.inf", "original=acme.inf."),
       L"line 6: a file's original name"},
      {"a DEVMODE's private part that lies", devModeWith(offsetof(DEVMODEW, dmDriverExtra), 0xFFFF),
       L"line 7: the printer's DEVMODE does not hold the sizes it states"},
      {"a DEVMODE shorter than its fields", devModeWith(offsetof(DEVMODEW, dmSize), 75),
       L"line 7: the printer's DEVMODE"},
      {"a DEVMODE longer than Windows'", devModeWith(offsetof(DEVMODEW, dmSize), 222),
       L"line 7: the printer's DEVMODE"},
      {"a security descriptor whose owner lies outside", written([](Snapshot& s) {
         s.printers[0].securityDescriptor = {1, 0, 4, 0x80, 0xF0, 0, 0, 0, 0, 0,
                                             0, 0, 0, 0,    0,    0, 0, 0, 0, 0};
       }),
       L"line 7: the printer's security descriptor is not a whole self-relative one"},
      {"a whole security descriptor", written([](Snapshot& s) {
         PSECURITY_DESCRIPTOR made = nullptr;
         ULONG size = 0;
         ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:(A;;GA;;;WD)", 1, &made,
                                                                &size);
         const auto* bytes = static_cast<const BYTE*>(made);
         s.printers[0].securityDescriptor.assign(bytes, bytes + size);
         ::LocalFree(made);
       }),
       L""},
      {"a driver twice", written([](Snapshot& s) { s.drivers.push_back(s.drivers[0]); }),
       L"line 5: the driver is given twice (first on line 4)"},
      {"a printer twice in other letters", written([](Snapshot& s) {
         s.printers.push_back(s.printers[0]);
         s.printers[1].name = L"\\\\SRVA\\hr laser";
       }),
       L"line 9: the printer is given twice (first on line 7)"},
      {"a file twice", written([](Snapshot& s) { s.files.push_back(s.files[0]); }),
       L"line 7: the file is given twice"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Snapshot read;
    std::wstring problem;
    EXPECT_EQ(ReadManifest(c.manifest, read, problem), *c.problem == L'\0');
    EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << std::string(problem.begin(), problem.end());
    if (*c.problem == L'\0') {
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
