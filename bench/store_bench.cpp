// Lists a driver store of 500 printer packages of 20 files each behind a share
// that answers each file call (a folder's listing, a file's reading) 2 ms
// late, against the least an admin's own script does with the same calls:
// listing each folder and reading each INF once, one after another. Then on
// this machine's disk, against a floor measured in the same run (every
// package folder listed and each INF's first 4 KiB read, 8 at a time): the
// same 500 packages, and a store of 2,000 folders of which 200 are printer
// packages. Last, the memory 300 hostile INFs (a value of 1,360 tokens over
// a 4,000-character string) take at peak.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "common/parallel.h"
#include "inventory/driver_store.h"
#include "inventory/inf_reader.h"
#include "inventory/snapshot.h"

using namespace kestrun;

namespace {

constexpr int kPackages = 500;
constexpr int kFilesPerPackage = 20;
constexpr DWORD kCallMs = 2;

std::wstring FolderName(int p) {
  return L"bench" + std::to_wstring(p) + L".inf_amd64_" + std::to_wstring(100000 + p);
}

void MakeStore(const std::wstring& store) {
  ::CreateDirectoryW(store.c_str(), nullptr);
  const std::string inf =
      "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\nProvider=%Mfg%\r\n"
      "DriverVer=03/12/2019,61.4.0.0\r\n[Manufacturer]\r\n%Mfg%=Models\r\n" +
      std::string(20000, ';') + "\r\n[Strings]\r\nMfg=\"Contoso\"\r\n";
  const std::string other(64 * 1024, 'x');
  for (int p = 0; p < kPackages; ++p) {
    const std::wstring folder = store + L"\\" + FolderName(p);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    bench::WriteFile(folder + L"\\bench" + std::to_wstring(p) + L".inf", inf);
    for (int f = 1; f < kFilesPerPackage; ++f) {
      bench::WriteFile(folder + L"\\file" + std::to_wstring(f) + L".dll", other);
    }
  }
}

// The real calls, each answered kCallMs late.
StoreFiles SlowShare() {
  const StoreFiles real = RealStoreFiles();
  return {[real](const std::wstring& folder, std::vector<StoreEntry>& entries) {
            ::Sleep(kCallMs);
            return real.list(folder, entries);
          },
          [real](const std::wstring& file, size_t most, std::string& bytes) {
            ::Sleep(kCallMs);
            return real.read(file, most, bytes);
          }};
}

// Folders of another class beside the printer packages: their INFs are read,
// their files never sized.
void AddOtherPackages(const std::wstring& store, int count) {
  const std::string inf =
      "[Version]\r\nClass=Net\r\nClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\r\n";
  const std::string other(4 * 1024, 'x');
  for (int p = 0; p < count; ++p) {
    const std::wstring folder = store + L"\\net" + std::to_wstring(p) + L".inf_amd64_1";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    bench::WriteFile(folder + L"\\net" + std::to_wstring(p) + L".inf", inf);
    for (int f = 0; f < 5; ++f) bench::WriteFile(folder + L"\\f" + std::to_wstring(f), other);
  }
}

// The floor on a disk: every folder listed and its INF's first 4 KiB read, 8 at a time.
double Floor(const std::wstring& store) {
  const StoreFiles real = RealStoreFiles();
  const LARGE_INTEGER start = bench::Now();
  std::vector<StoreEntry> entries;
  real.list(store, entries);
  RunAtOnce(entries.size(), 8, [&](size_t e) {
    std::vector<StoreEntry> inside;
    real.list(store + L"\\" + entries[e].name, inside);
    std::string bytes;
    const std::wstring& name = entries[e].name;
    real.read(store + L"\\" + name + L"\\" + name.substr(0, name.find(L".inf") + 4), 4096, bytes);
  });
  return bench::Seconds(start, bench::Now());
}

// Kestrun's reading of a store as the packages view makes it: listed, judged.
double Listing(const std::wstring& store, size_t& listed) {
  const LARGE_INTEGER start = bench::Now();
  std::vector<StorePackage> packages;
  std::wstring problem;
  listed = ListDriverStore(store, RealStoreFiles(), packages, problem) == 0 ? packages.size() : 0;
  ClassifyStorePackages(packages, {}, true);
  return bench::Seconds(start, bench::Now());
}

bool DiskRatio(const std::wstring& store, const char* what, size_t expected) {
  double floor = 1e9, best = 1e9;
  size_t listed = 0;
  for (int round = 0; round < 3; ++round) {
    floor = std::min(floor, Floor(store));
    best = std::min(best, Listing(store, listed));
  }
  std::fprintf(stderr,
               "  on disk, %s: floor %.3f s, Kestrun %.3f s (%zu printer packages) = %.2f times "
               "(limit 1.5)\n",
               what, floor, best, listed, best / floor);
  return listed == expected && best <= 1.5 * floor;
}

}  // namespace

int main() {
  const std::wstring store = bench::TempFile(L"kestrun-bench-store");
  MakeStore(store);
  const StoreFiles share = SlowShare();
  double best = 1e9;
  double baseline = 1e9;
  size_t listed = 0;
  for (int round = 0; round < 3; ++round) {
    // The baseline: each folder listed and its INF read once, one after another.
    LARGE_INTEGER start = bench::Now();
    std::vector<StoreEntry> entries;
    share.list(store, entries);
    for (const StoreEntry& entry : std::vector<StoreEntry>(entries)) {
      std::vector<StoreEntry> inside;
      share.list(store + L"\\" + entry.name, inside);
      std::string bytes;
      const std::wstring inf = entry.name.substr(0, entry.name.find(L".inf") + 4);
      share.read(store + L"\\" + entry.name + L"\\" + inf, kMaxInfBytes, bytes);
      InfFields fields;
      ReadInfFields(bytes, fields);
    }
    baseline = std::min(baseline, bench::Seconds(start, bench::Now()));

    start = bench::Now();
    std::vector<StorePackage> packages;
    std::wstring problem;
    const DWORD error = ListDriverStore(store, share, packages, problem);
    best = std::min(best, bench::Seconds(start, bench::Now()));
    listed = error == 0 ? packages.size() : 0;
  }
  std::fprintf(stderr, "Driver store of %d packages x %d files, each call %lu ms late (best of 3):\n",
              kPackages, kFilesPerPackage, kCallMs);
  std::fprintf(stderr, "  listing folders and reading each INF, one after another: %.3f s\n", baseline);
  std::fprintf(stderr, "  Kestrun's listing (%zu packages, with sizes): %.3f s = %.2f times (limit 1.5)\n",
              listed, best, best / baseline);
  bool met = listed == kPackages && best <= 1.5 * baseline;
  met = DiskRatio(store, "500 printer packages", kPackages) && met;
  RemoveTree(store);

  const std::wstring mixed = bench::TempFile(L"kestrun-bench-mixed");
  ::CreateDirectoryW(mixed.c_str(), nullptr);
  for (int p = 0; p < 200; ++p) {
    const std::wstring folder = mixed + L"\\" + FolderName(p);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    bench::WriteFile(folder + L"\\bench" + std::to_wstring(p) + L".inf",
                     "[Version]\r\nClass=Printer\r\nProvider=Contoso\r\n");
    for (int f = 0; f < 5; ++f) bench::WriteFile(folder + L"\\f" + std::to_wstring(f), "x");
  }
  AddOtherPackages(mixed, 1800);
  met = DiskRatio(mixed, "2,000 folders, 200 printer packages", 200) && met;
  RemoveTree(mixed);

  const std::wstring hostile = bench::TempFile(L"kestrun-bench-hostile");
  ::CreateDirectoryW(hostile.c_str(), nullptr);
  std::string tokens;
  for (int t = 0; t < 1360; ++t) tokens += "%a%";
  const std::string inf = "[Version]\r\nClass=Printer\r\nProvider=" + tokens +
                          "\r\n[Strings]\r\na=\"" + std::string(4000, 'a') + "\"\r\n";
  for (int p = 0; p < 300; ++p) {
    const std::wstring folder = hostile + L"\\" + FolderName(p);
    ::CreateDirectoryW(folder.c_str(), nullptr);
    bench::WriteFile(folder + L"\\bench" + std::to_wstring(p) + L".inf", inf);
  }
  size_t read = 0;
  bench::PeakMemory peak;
  Listing(hostile, read);
  const double mib = peak.MiBAboveStart();
  std::fprintf(stderr, "  300 hostile INFs (%zu read): %.1f MiB at peak (limit 200)\n", read, mib);
  RemoveTree(hostile);
  return met && mib < 200 ? 0 : 1;
}
