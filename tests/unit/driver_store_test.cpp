#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "inventory/driver_store.h"
#include "inventory/inf_reader.h"

namespace kestrun {
namespace {

std::string Utf16(const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (const wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

TEST(InfReader, ReadsTheFieldsOfEveryEncodingAndRefusesWhatIsNotText) {
  const std::string printer =
      "; a comment\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer ; trailing\r\n"
      "Provider=%Mfg%\r\nDriverVer=03/12/2019,61.4.0.0\r\n[Strings]\r\nMfg=\"Contoso, Ltd.\"\r\n";
  const std::string longLine =
      "[Version]\nClass=Printer\nProvider=" + std::string(5000, 'a') + "\n";
  std::string huge = "[Version]\nClass=Printer\nProvider=%M%\n" + std::string(kMaxInfBytes, ';');
  huge += "\n[Strings]\nM=late\n";
  const struct {
    const char* what;
    std::string bytes;
    InfRead read;
    bool printerClass;
    std::wstring provider, date, version;
  } cases[] = {
      {"8-bit, %strings%", printer, InfRead::Read, true, L"Contoso, Ltd.", L"2019-03-12",
       L"61.4.0.0"},
      {"UTF-16 with its mark, the class GUID",
       Utf16(L"[version]\r\nClassGUID={4d36e979-e325-11ce-bfc1-08002be10318}\r\n"
             L"provider=\"Fabrik\u00e4m \u5370\"\r\nDriverVer = 1/2/2020\r\n"),
       InfRead::Read, true, L"Fabrik\u00e4m \u5370", L"2020-01-02", L""},
      {"UTF-8 with its mark", "\xEF\xBB\xBF[Version]\nClass=Net\nProvider=Caf\xC3\xA9\n",
       InfRead::Read, false, L"Caf\u00e9", L"", L""},
      {"8-bit beyond ASCII", "[Version]\nClass=Printer\nProvider=Caf\xE9\n", InfRead::Read, true,
       L"Caf\u00e9", L"", L""},
      {"one level of %strings%, unknown ones as written",
       "[Version]\nClass=%P%\nProvider=%A% %X% 100%%\n[Strings]\nA=\"%B%\"\nB=x\nP=printer\n",
       InfRead::Read, true, L"%B% %X% 100%", L"", L""},
      {"a DriverVer that is no date", "[Version]\nClass=Printer\nDriverVer=13/40/2019,6.a\n",
       InfRead::Read, true, L"", L"", L""},
      {"a line cut at its limit", longLine, InfRead::Read, true,
       std::wstring(kMaxInfLineChars - 9, L'a'), L"", L""},
      {"only the first MiB is read", huge, InfRead::Read, true, L"%M%", L"", L""},
      {"no [Version]", "[Strings]\nA=b\n", InfRead::NoVersion, false, L"", L"", L""},
      {"empty", "", InfRead::Unreadable, false, L"", L"", L""},
      {"binary", std::string("MZ\x90\0\x03\0", 6), InfRead::Unreadable, false, L"", L"", L""},
      {"UTF-16 of an odd length", Utf16(L"[Version]") + "x", InfRead::Unreadable, false, L"", L"",
       L""},
      {"big-endian UTF-16", "\xFE\xFF\0[", InfRead::Unreadable, false, L"", L"", L""},
  };
  for (const auto& c : cases) {
    InfFields fields;
    EXPECT_EQ(ReadInfFields(c.bytes, fields), c.read) << c.what;
    EXPECT_EQ(fields.printerClass, c.printerClass) << c.what;
    EXPECT_EQ(fields.provider, c.provider) << c.what;
    EXPECT_EQ(fields.date, c.date) << c.what;
    EXPECT_EQ(fields.version, c.version) << c.what;
  }
}

TEST(DriverStore, APackageIsUnusedOnlyWhenNoDriverNamesItAndItIsNotWindowsOwn) {
  const auto package = [](const wchar_t* folder, bool unreadable = false) {
    StorePackage made;
    made.folder = folder;
    made.infName = std::wstring(folder).substr(0, std::wstring(folder).find(L".inf") + 4);
    made.unreadable = unreadable;
    made.bytes = 1000;
    return made;
  };
  const std::vector<DriverInf> drivers = {
      {L"Contoso PCL6",
       L"C:\\WINDOWS\\system32\\driverstore\\filerepository\\"
       L"CONTOSO.INF_AMD64_1A\\contoso.inf"},
      {L"Contoso PS",
       L"C:\\Windows\\System32\\DriverStore\\FileRepository\\"
       L"contoso.inf_amd64_1a\\sub\\contoso.inf"},
      {L"XPS",
       L"C:\\Windows\\System32\\DriverStore\\FileRepository\\ntprint.inf_amd64_9\\"
       L"ntprint.inf"},
      {L"Elsewhere", L"C:\\Drivers\\fabrikam.inf_amd64_2b\\fabrikam.inf"},
  };
  const std::vector<StorePackage> store = {
      package(L"contoso.inf_amd64_1a"), package(L"fabrikam.inf_amd64_2b"),
      package(L"ntprint.inf_amd64_9"), package(L"prnms009.inf_x86_3"),
      package(L"broken.inf_amd64_4", true)};
  const struct {
    bool driversKnown;
    PackageUse uses[5];
    const wchar_t* counts;
  } cases[] = {
      {true,
       {PackageUse::Used, PackageUse::Unused, PackageUse::WindowsOwn, PackageUse::WindowsOwn,
        PackageUse::Unreadable},
       L"Packages: 5 (5 KB). Unused: 1 (1000 bytes). Windows' own: 2. Unreadable: 1."},
      {false,
       {PackageUse::Unknown, PackageUse::Unknown, PackageUse::WindowsOwn, PackageUse::WindowsOwn,
        PackageUse::Unreadable},
       L"Packages: 5 (5 KB). Unused: not known (the drivers' packages could not be read). "
       L"Windows' own: 2. Unreadable: 1."},
  };
  for (const auto& c : cases) {
    std::vector<StorePackage> packages = store;
    ClassifyStorePackages(packages, drivers, c.driversKnown);
    for (size_t k = 0; k < packages.size(); ++k) {
      EXPECT_EQ(packages[k].use, c.uses[k]) << k << " known " << c.driversKnown;
    }
    EXPECT_EQ(packages[0].usedBy, (std::vector<std::wstring>{L"Contoso PCL6", L"Contoso PS"}));
    EXPECT_EQ(StoreCountsText(CountStore(packages)), c.counts);
  }
  EXPECT_EQ(EnvironmentOfStoreFolder(L"x.INF_ARM64_1"), L"Windows ARM64");
  EXPECT_EQ(EnvironmentOfStoreFolder(L"x.inf_neutral_1"), L"");
  EXPECT_EQ(SizeText(1), L"1 byte");
  EXPECT_EQ(SizeText(412ULL << 20), L"412 MB");
  EXPECT_EQ(SizeText(7301444403ULL), L"6.8 GB");
}

TEST(DriverStore, AStoreListsOnlyPlainNamesAndFailsOnAFolderThatLeadsOut) {
  // A share's answers, as a hostile server could give them.
  std::map<std::wstring, std::vector<StoreEntry>> folders = {
      {L"S", {{L"good.inf_amd64_1", true}, {L"..\\evil.inf_amd64_2", true}, {L"x.txt", false}}},
      {L"S\\good.inf_amd64_1", {{L"good.inf", false, 40}, {L"sub", true}}},
      {L"S\\good.inf_amd64_1\\sub", {{L"a.dll", false, 2}}},
  };
  const StoreFiles calls = {
      [&folders](const std::wstring& folder, std::vector<StoreEntry>& entries) {
        const auto found = folders.find(folder);
        if (found == folders.end()) return static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
        entries = found->second;
        return 0ul;
      },
      [](const std::wstring&, size_t, std::string& bytes) {
        bytes = "[Version]\nClass=Printer\n";
        return 0ul;
      }};
  std::vector<StorePackage> packages;
  std::wstring problem;
  ASSERT_EQ(ListDriverStore(L"S", calls, packages, problem), 0u) << problem;
  ASSERT_EQ(packages.size(), 1u) << "the name that leads out is never read";
  EXPECT_EQ(packages[0].folder + L" " + std::to_wstring(packages[0].bytes), L"good.inf_amd64_1 42");
  folders[L"S\\good.inf_amd64_1\\sub"] = {{L"..", true}, {L"CON", true}};
  EXPECT_EQ(ListDriverStore(L"S", calls, packages, problem),
            static_cast<DWORD>(ERROR_BAD_PATHNAME));
  EXPECT_EQ(problem, L"the package folder S\\good.inf_amd64_1\\sub holds ..");
  EXPECT_TRUE(packages.empty());
}

}  // namespace
}  // namespace kestrun
