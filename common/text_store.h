// Keeps many short texts for as long as the store lives, each as a view that
// stays valid: they are copied into blocks that never move, so a listing's
// thousands of texts cost a few allocations instead of one each.
#pragma once

#include <cstddef>
#include <cwchar>
#include <memory>
#include <string_view>
#include <vector>

namespace kestrun {

class TextStore {
 public:
  // A copy of `text`, kept until the store goes. Throws std::bad_alloc when
  // memory runs out.
  std::wstring_view Keep(std::wstring_view text) {
    if (text.empty()) return {};
    if (text.size() > left_) {
      const size_t size = text.size() > kBlockCharacters ? text.size() : kBlockCharacters;
      blocks_.push_back(std::unique_ptr<wchar_t[]>(new wchar_t[size]));
      if (size > kBlockCharacters) {  // a block of its own; the current one stays in use
        std::wmemcpy(blocks_.back().get(), text.data(), text.size());
        return std::wstring_view(blocks_.back().get(), text.size());
      }
      next_ = blocks_.back().get();
      left_ = size;
    }
    const std::wstring_view kept(next_, text.size());
    std::wmemcpy(next_, text.data(), text.size());
    next_ += text.size();
    left_ -= text.size();
    return kept;
  }

 private:
  static constexpr size_t kBlockCharacters = 8192;
  std::vector<std::unique_ptr<wchar_t[]>> blocks_;
  wchar_t* next_ = nullptr;  // where the next text goes in the last whole block
  size_t left_ = 0;
};

}  // namespace kestrun
