#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/bounded_text.h"
#include "common/text_store.h"
#include "common/win32_handles.h"

namespace kestrun {
namespace {

TEST(BoundedText, CopiesCutAtCapacityAndAlwaysTerminate) {
  wchar_t buffer[6];
  wmemset(buffer, L'#', 6);
  EXPECT_EQ(CopyBounded(buffer, L"abc"), 3u);
  EXPECT_STREQ(buffer, L"abc");
  EXPECT_EQ(CopyBounded(buffer, L"abcde"), 5u);
  EXPECT_STREQ(buffer, L"abcde");
  EXPECT_EQ(CopyBounded(buffer, L"abcdefghij"), 5u);
  EXPECT_STREQ(buffer, L"abcde");
  EXPECT_EQ(CopyBounded(buffer, L""), 0u);
  EXPECT_STREQ(buffer, L"");

  CopyBounded(buffer, L"ab");
  EXPECT_EQ(AppendBounded(buffer, L"cdefg"), 3u);
  EXPECT_STREQ(buffer, L"abcde");
  EXPECT_EQ(AppendBounded(buffer, L"x"), 0u);
  EXPECT_STREQ(buffer, L"abcde");
}

TEST(Win32Handles, OwnersCloseOnceAndKeepTheLastError) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  const HANDLE raw = event.get();
  ::SetLastError(ERROR_ACCESS_DENIED);
  event.reset();
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(event);
  DWORD flags = 0;
  EXPECT_FALSE(::GetHandleInformation(raw, &flags));  // closed

  UniqueHandle first(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle second(std::move(first));
  EXPECT_FALSE(first);
  EXPECT_TRUE(second);
  const HANDLE released = second.release();
  EXPECT_FALSE(second);
  EXPECT_TRUE(::CloseHandle(released));

  UniqueFileHandle invalid;
  EXPECT_FALSE(invalid);
  EXPECT_EQ(invalid.get(), INVALID_HANDLE_VALUE);
}

TEST(TextStore, KeptTextsStayWholeAcrossBlocksAndALongOneGetsItsOwn) {
  TextStore store;
  std::vector<std::pair<std::wstring, std::wstring_view>> kept;
  for (int i = 0; i < 3000; ++i) {
    const std::wstring text = i == 1000 ? std::wstring(20000, L'x') : L"10.0." + std::to_wstring(i);
    kept.emplace_back(text, store.Keep(text));
  }
  for (const auto& [text, view] : kept) EXPECT_EQ(view, text);
  EXPECT_TRUE(store.Keep(L"").empty());
}

}  // namespace
}  // namespace kestrun
