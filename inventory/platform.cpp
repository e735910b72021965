#include "inventory/platform.h"

namespace kestrun {

namespace {
PlatformApi installedPlatform = RealPlatform();
}

PlatformApi RealPlatform() {
  return PlatformApi{
      &::EnumPrinterDriversW,    &::EnumPrintersW,       &::OpenPrinterW,
      &::DeletePrinter,          &::ClosePrinter,        &::DeletePrinterDriverExW,
      &::GetPrinterDataExW,
      &::WNetAddConnection2W,    &::WNetCancelConnection2W, &::NetServerEnum,
      &::NetApiBufferFree,       &::NetApiBufferSize,
  };
}

const PlatformApi& Platform() { return installedPlatform; }

void InstallPlatform(const PlatformApi& api) { installedPlatform = api; }

}  // namespace kestrun
