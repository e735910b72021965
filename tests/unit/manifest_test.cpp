// The manifest embedded in Kestrun.exe, read back from the executable.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "tests/support/test_paths.h"

namespace kestrun::testing {
namespace {

std::string ManifestOfKestrun() {
  const HMODULE exe = ::LoadLibraryExW(KestrunExePath().c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (exe == nullptr) return {};
  std::string text;
  if (const HRSRC resource = ::FindResourceW(exe, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
    const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(exe, resource)));
    if (bytes) text.assign(bytes, ::SizeofResource(exe, resource));
  }
  ::FreeLibrary(exe);
  return text;
}

struct Element {
  size_t at = std::string::npos;  // where its start tag begins
  std::string startTag;           // "<name ...>"
  std::string text;               // up to its end tag
};

Element Find(const std::string& xml, const std::string& name, size_t from = 0) {
  Element element;
  size_t at = from;
  while ((at = xml.find("<" + name, at)) != std::string::npos) {
    const char next = xml[at + name.size() + 1];
    if (next == '>' || next == ' ') break;  // not a longer name that starts alike
    ++at;
  }
  if (at == std::string::npos) return element;
  const size_t tagEnd = xml.find('>', at);
  const size_t end = xml.find("</" + name + ">", tagEnd);
  if (tagEnd == std::string::npos || end == std::string::npos) return element;
  element.at = at;
  element.startTag = xml.substr(at, tagEnd + 1 - at);
  element.text = xml.substr(tagEnd + 1, end - tagEnd - 1);
  return element;
}

TEST(Manifest, DeclaresPerMonitorV2ThenPerMonitorThenSystemAwareness) {
  const std::string manifest = ManifestOfKestrun();
  ASSERT_FALSE(manifest.empty()) << "no RT_MANIFEST 1 in Kestrun.exe";

  const Element application = Find(manifest, "application");
  ASSERT_NE(application.at, std::string::npos);
  EXPECT_NE(application.startTag.find("urn:schemas-microsoft-com:asm.v3"), std::string::npos);
  const Element settings = Find(application.text, "windowsSettings");
  ASSERT_NE(settings.at, std::string::npos);

  // Windows 10 reads this list and takes the first mode it knows.
  const Element awareness = Find(settings.text, "dpiAwareness");
  EXPECT_NE(awareness.startTag.find("http://schemas.microsoft.com/SMI/2016/WindowsSettings"),
            std::string::npos);
  EXPECT_EQ(awareness.text, "PerMonitorV2, PerMonitor");
  // Earlier systems read this one: per monitor on 8.1, system awareness before.
  const Element aware = Find(settings.text, "dpiAware");
  EXPECT_NE(aware.startTag.find("http://schemas.microsoft.com/SMI/2005/WindowsSettings"),
            std::string::npos);
  EXPECT_EQ(aware.text, "true/pm");

  // What the manifest held before stays.
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
            std::string::npos);
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
}

}  // namespace
}  // namespace kestrun::testing
