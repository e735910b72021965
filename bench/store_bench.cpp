// Lists a driver store of 500 printer packages of 20 files each behind a share
// that answers each file call (a folder's listing, a file's reading) 2 ms
// late, against the least an admin's own script does with the same calls:
// listing each folder and reading each INF once, one after another.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/measure.h"
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
  RemoveTree(store);
  return listed == kPackages && best <= 1.5 * baseline ? 0 : 1;
}
