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
       InfRead::Read, true, L"", L"(invalid)", L"(invalid)"},
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

TEST(InfReader, ReadsStringsDatesQuotesAndClassesAsWindowsFilesThem) {
  std::string tokens;
  for (int t = 0; t < 1360; ++t) tokens += "%a%";
  const std::string hostile = "[Version]\nClass=Printer\nProvider=" + tokens + "\n[Strings]\na=\"" +
                              std::string(4000, 'a') + "\"\n";
  const struct {
    const char* what;
    std::string bytes;
    bool printerClass, classConflict;
    std::wstring provider, date, version;
  } cases[] = {
      {"[Strings] before English before the first other",
       "[Version]\nClass=Printer\nProvider=%M% %N% %O%\n[Strings.0407]\nM=Deutsch\nN=Deutsch\n"
       "O=Deutsch\n[Strings.040C]\nO=Francais\n[Strings.0409]\nM=English\nN=English\n[Strings]\n"
       "M=Plain\n",
       true, false, L"Plain English Deutsch", L"", L""},
      {"an expansion cut at 4,096", hostile, true, false,
       std::wstring(kMaxExpandedChars - 3, L'a') + L"...", L"", L""},
      {"doubled quotes", "[Version]\nClass=Printer\nProvider=\"Acme \"\"Best\"\" Inc\"\n", true,
       false, L"Acme \"Best\" Inc", L"", L""},
      {"a leap day and the largest version",
       "[Version]\nClass=Printer\nDriverVer=02/29/2020,65535.0.0.1\n", true, false, L"",
       L"2020-02-29", L"65535.0.0.1"},
      {"no such day, a part over 65535",
       "[Version]\nClass=Printer\nDriverVer=02/29/2019,65536.0.0.0\n", true, false, L"",
       L"(invalid)", L"(invalid)"},
      {"before 1980", "[Version]\nClass=Printer\nDriverVer=01/01/1979,1.0\n", true, false, L"",
       L"(invalid)", L"1.0"},
      {"the network GUID with Class=Printer",
       "[Version]\nClass=Printer\nClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\n", false, true,
       L"", L"", L""},
      {"the printer GUID with Class=Net",
       "[Version]\nClass=Net\nClassGuid={4D36E979-E325-11CE-BFC1-08002BE10318}\n", true, true, L"",
       L"", L""},
  };
  for (const auto& c : cases) {
    InfFields fields;
    EXPECT_EQ(ReadInfFields(c.bytes, fields), InfRead::Read) << c.what;
    EXPECT_EQ(fields.printerClass, c.printerClass) << c.what;
    EXPECT_EQ(fields.classConflict, c.classConflict) << c.what;
    EXPECT_EQ(fields.provider, c.provider) << c.what;
    EXPECT_EQ(fields.date, c.date) << c.what;
    EXPECT_EQ(fields.version, c.version) << c.what;
  }
}

TEST(DriverStore, ADriversInfPathIsTiedToItsFolderHoweverItIsSpelled) {
  StoreFolderNames names;
  names.Add(L"short.inf_amd64_9f", L"SHORTI~1");
  names.Add(L"other.inf_amd64_1", L"");
  const wchar_t* const store = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\";
  const struct {
    std::wstring path;
    InfTie tie;
    std::wstring folder, infName;
  } cases[] = {
      {std::wstring(store) + L"short.inf_amd64_9f\\short.inf", InfTie::Folder,
       L"short.inf_amd64_9f", L""},
      {L"C:\\Windows\\System32\\DRIVER~1\\FILERE~1\\SHORTI~1\\short.inf", InfTie::Folder,
       L"short.inf_amd64_9f", L""},
      {std::wstring(store) + L"other.inf_amd64_1\\..\\short.inf_amd64_9f\\.\\short.inf",
       InfTie::Folder, L"short.inf_amd64_9f", L""},
      {L"C:/Windows/System32/DriverStore/FileRepository/SHORT.INF_AMD64_9F/short.inf",
       InfTie::Folder, L"short.inf_amd64_9f", L""},
      {std::wstring(store) + L"short.inf_amd64_9f", InfTie::Folder, L"short.inf_amd64_9f", L""},
      {std::wstring(store) + L"SHORTI~2\\short.inf", InfTie::Untied, L"", L"short.inf"},
      {std::wstring(store) + L"gone.inf_amd64_5", InfTie::Folder, L"gone.inf_amd64_5", L""},
      {std::wstring(store) + L"GONEIN~1", InfTie::Untied, L"", L""},
      {L"C:\\Drivers\\short.inf_amd64_9f\\short.inf", InfTie::Outside, L"", L""},
  };
  for (const auto& c : cases) {
    std::wstring folder, infName;
    EXPECT_EQ(TieInfToStore(c.path, names, folder, infName), c.tie) << c.path;
    EXPECT_EQ(folder + L"|" + infName, c.folder + L"|" + c.infName) << c.path;
  }
  // What cannot be judged is never called unused.
  std::vector<StorePackage> packages(4);
  const wchar_t* const folders[] = {L"short.inf_amd64_9f", L"noarch.inf_c3", L"clash.inf_amd64_2",
                                    L"free.inf_amd64_3"};
  for (size_t k = 0; k < packages.size(); ++k) {
    packages[k].folder = folders[k];
    packages[k].infName = packages[k].folder.substr(0, packages[k].folder.find(L'_'));
    packages[k].environment = EnvironmentOfStoreFolder(folders[k]);
  }
  packages[2].classConflict = true;
  ClassifyStorePackages(packages, {{L"Lost", std::wstring(store) + L"SHORTI~7\\short.inf"}}, true);
  std::vector<std::wstring> whys;
  for (const StorePackage& package : packages) {
    whys.push_back(package.use == PackageUse::Unused ? L"unused" : L"unknown: " + package.why);
  }
  EXPECT_EQ(whys, (std::vector<std::wstring>{
                      L"unknown: a driver's package path could not be matched",
                      L"unknown: unknown architecture",
                      L"unknown: its INF's Class and ClassGUID disagree", L"unused"}));
}

TEST(DriverStore, APackageIsUnusedOnlyWhenNoDriverNamesItAndItIsNotWindowsOwn) {
  const auto package = [](const wchar_t* folder, bool unreadable = false) {
    StorePackage made;
    made.folder = folder;
    made.infName = std::wstring(folder).substr(0, std::wstring(folder).find(L".inf") + 4);
    made.unreadable = unreadable;
    made.environment = EnvironmentOfStoreFolder(folder);
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
  ASSERT_EQ(packages.size(), 2u);
  // The name that leads out is never read: it is listed, unreadable, on its own.
  EXPECT_EQ(packages[0].folder + L" " + packages[0].why,
            L"..\\evil.inf_amd64_2 its name is one the file system would read otherwise");
  EXPECT_EQ(packages[1].folder + L" " + std::to_wstring(packages[1].bytes), L"good.inf_amd64_1 42");
  // One odd package is one unreadable row, never the whole store.
  folders[L"S"].push_back({L"deep.inf_amd64_3", true});
  std::wstring deep = L"S\\deep.inf_amd64_3";
  folders[deep] = {{L"deep.inf", false, 1}, {L"d", true}};
  for (int level = 0; level < 20; ++level) folders[deep += L"\\d"] = {{L"d", true}};
  folders[L"S\\good.inf_amd64_1\\sub"] = {{L"sub.", true}};
  ASSERT_EQ(ListDriverStore(L"S", calls, packages, problem), 0u);
  std::vector<std::wstring> rows;
  for (const StorePackage& package : packages) rows.push_back(package.folder + L": " + package.why);
  EXPECT_EQ(rows, (std::vector<std::wstring>{
                      L"..\\evil.inf_amd64_2: its name is one the file system would read otherwise",
                      L"deep.inf_amd64_3: its folders nest deeper than 16",
                      L"good.inf_amd64_1: it holds a folder named sub."}));
}

}  // namespace
}  // namespace kestrun
