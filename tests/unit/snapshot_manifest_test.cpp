#include <gtest/gtest.h>

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
  d.name = L"Acme\tPCL6\r\n\\ \u00c9 \U0001F5A8";
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
  SnapshotPrinter p;
  p.name = L"\\\\SRVA\\HR Laser";
  p.portName = L"IP_10.1.2.3";
  p.attributes = 0x240;
  p.devMode = {0x00, 0x01, 0xFE, 0xFF};
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
  EXPECT_NE(text.find("\tname=Acme\\tPCL6\\r\\n\\\\ "), std::string::npos)
      << "a TAB, a line break and a backslash inside a value are escaped";

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
       L"line 7: the manifest ends before its end line"},
      {"cut inside a line", text.substr(0, text.size() - 3),
       L"line 8: the manifest ends in the middle"},
      {"a record lost", replaced("records=6", "records=7"), L"line 8: the end line does not count"},
      {"bad hex", replaced("devMode=0001feff", "devMode=0001fexf"),
       L"line 6: the field \"devMode\""},
      {"odd hex", replaced("devMode=0001feff", "devMode=0001fef"),
       L"line 6: the field \"devMode\""},
      {"bad escape", replaced("PCL6\\r", "PCL6\\q"), L"line 4: the field \"name\""},
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
       L"line 6: a record of an unknown kind"},
      {"a key twice", replaced("\tportName=", "\tname=x\tportName="),
       L"line 6: a field is not key=value"},
      {"not UTF-8", replaced("HR Laser", "HR \xC3\x28Laser"),
       L"line 6: the line is not UTF-8 text"},
      {"a value of no printer", replaced("value\tprinter=0", "value\tprinter=1"),
       L"line 7: a printer value"},
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
