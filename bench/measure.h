// What the benchmark programs measure with: a clock, scratch files, and the
// peak of the process's private memory while a piece of work runs.
#pragma once

#include <windows.h>
#include <psapi.h>

#include <atomic>
#include <string>
#include <thread>

namespace kestrun::bench {

inline LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  return now;
}

inline double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// A path in the temporary folder, with no file there.
inline std::wstring TempFile(const std::wstring& name) {
  wchar_t folder[MAX_PATH];
  ::GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + name;
  ::DeleteFileW(path.c_str());
  return path;
}

// Writes a scratch file whole (the benchmarks' own files, so no check).
inline void WriteFile(const std::wstring& path, const std::string& bytes) {
  const HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
}

inline SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
  return counters.PagefileUsage;
}

// Sampled every millisecond by a thread of its own: Wine reports the current
// figure as the peak, and Windows' peak covers the process's whole life.
class PeakMemory {
 public:
  PeakMemory() : start_(PrivateBytes()), peak_(start_) {
    sampler_ = std::thread([this] {
      while (!done_.load()) {
        const SIZE_T now = PrivateBytes();
        if (now > peak_.load()) peak_.store(now);
        ::Sleep(1);
      }
    });
  }
  ~PeakMemory() { Stop(); }
  PeakMemory(const PeakMemory&) = delete;
  PeakMemory& operator=(const PeakMemory&) = delete;

  // Bytes above the figure at construction, at the highest sample.
  double MiBAboveStart() {
    Stop();
    return static_cast<double>(peak_.load() - start_) / (1024.0 * 1024.0);
  }

 private:
  void Stop() {
    if (sampler_.joinable()) {
      done_.store(true);
      sampler_.join();
      const SIZE_T now = PrivateBytes();
      if (now > peak_.load()) peak_.store(now);
    }
  }

  SIZE_T start_;
  std::atomic<SIZE_T> peak_;
  std::atomic<bool> done_{false};
  std::thread sampler_;
};

}  // namespace kestrun::bench
