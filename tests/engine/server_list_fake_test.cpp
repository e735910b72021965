// The fake network browser the machine list is tested against: it must hand
// out buffers the way NetServerEnum does and catch leaks and double frees.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "inventory/platform.h"
#include "tests/support/fake_spooler.h"

namespace kestrun {
namespace {

using testing::FakeSpooler;

struct Fetch {
  NET_API_STATUS status = 0;
  SERVER_INFO_100* servers = nullptr;
  DWORD entriesRead = 0;
  DWORD totalEntries = 0;
  std::vector<std::wstring> names;
};

Fetch FetchServers() {
  Fetch f;
  DWORD resume = 0;
  f.status = Platform().NetServerEnum(nullptr, 100, reinterpret_cast<LPBYTE*>(&f.servers),
                                      MAX_PREFERRED_LENGTH, &f.entriesRead, &f.totalEntries,
                                      SV_TYPE_ALL, nullptr, &resume);
  for (DWORD i = 0; f.servers && i < f.entriesRead; ++i) f.names.push_back(f.servers[i].sv100_name);
  return f;
}

TEST(ServerListFake, AnswersAsTheNetworkDoesAndCountsItsBuffers) {
  FakeSpooler spooler;
  spooler.Install();
  spooler.serverNames = {L"ZED", L"alpha", L"Mid"};

  Fetch all = FetchServers();
  EXPECT_EQ(all.status, static_cast<NET_API_STATUS>(NERR_Success));
  EXPECT_EQ(all.names, spooler.serverNames);  // the network's order, not sorted
  EXPECT_EQ(all.totalEntries, 3u);
  EXPECT_EQ(all.servers[0].sv100_platform_id, static_cast<DWORD>(PLATFORM_ID_NT));
  EXPECT_EQ(spooler.Calls().back(),
            L"NetServerEnum (null) 100 4294967295 type=4294967295 domain=(null) resume=0");

  spooler.serverListStatus = ERROR_MORE_DATA;
  spooler.serverListTotal = 40;
  Fetch partial = FetchServers();
  EXPECT_EQ(partial.status, static_cast<NET_API_STATUS>(ERROR_MORE_DATA));
  EXPECT_EQ(partial.names.size(), 3u);
  EXPECT_EQ(partial.totalEntries, 40u);
  EXPECT_EQ(spooler.OutstandingServerBuffers(), 2u);

  spooler.serverListStatus = ERROR_NO_BROWSER_SERVERS_FOUND;
  Fetch failed = FetchServers();
  EXPECT_EQ(failed.status, static_cast<NET_API_STATUS>(ERROR_NO_BROWSER_SERVERS_FOUND));
  EXPECT_EQ(failed.servers, nullptr);
  EXPECT_EQ(failed.entriesRead, 0u);

  spooler.serverListStatus = NERR_Success;
  spooler.serverNames.clear();
  EXPECT_EQ(FetchServers().servers, nullptr);  // no names, no buffer

  EXPECT_EQ(Platform().NetApiBufferFree(all.servers), static_cast<NET_API_STATUS>(NERR_Success));
  EXPECT_EQ(Platform().NetApiBufferFree(partial.servers),
            static_cast<NET_API_STATUS>(NERR_Success));
  EXPECT_EQ(spooler.OutstandingServerBuffers(), 0u);
  EXPECT_EQ(spooler.BadBufferFrees(), 0);
  Platform().NetApiBufferFree(all.servers);  // a second free is caught, not performed
  EXPECT_EQ(spooler.BadBufferFrees(), 1);
  FakeSpooler::Uninstall();
}

}  // namespace
}  // namespace kestrun
