// The device probe against devices on this machine's loopback addresses
// (127.0.x.y, each its own device), served by this program: 64 devices that
// answer after 250 ms, 64 that never answer (against 1.5 times the time
// limit), and 1,000 devices that answer after 250 ms, 64 at a time.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "devices/device_probe.h"

namespace {

using namespace kestrun;

// A small IPP Everywhere printer's answer.
std::string Answer() {
  std::string ipp = {2, 0, 0, 0, 0, 0, 0, 1, 4};
  const auto attribute = [&ipp](char tag, const std::string& name, const std::string& value) {
    ipp += tag;
    ipp += static_cast<char>(name.size() >> 8), ipp += static_cast<char>(name.size()), ipp += name;
    ipp += static_cast<char>(value.size() >> 8), ipp += static_cast<char>(value.size()),
        ipp += value;
  };
  attribute(0x41, "printer-make-and-model", "Bench Printer");
  attribute(0x44, "ipp-features-supported", "ipp-everywhere");
  attribute(0x49, "document-format-supported", "image/pwg-raster");
  ipp += '\x03';
  return "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " +
         std::to_string(ipp.size()) + "\r\nConnection: close\r\n\r\n" + ipp;
}

// Reads a whole request (its headers and the body they announce).
bool ReadRequest(SOCKET client) {
  std::string got;
  char buffer[4096];
  for (;;) {
    const int n = ::recv(client, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    got.append(buffer, static_cast<size_t>(n));
    const size_t end = got.find("\r\n\r\n");
    if (end == std::string::npos) continue;
    const size_t at = got.find("Content-Length: ");
    const size_t length = at < end ? std::stoul(got.substr(at + 16)) : 0;
    if (got.size() >= end + 4 + length) return true;
  }
}

// Listens on every loopback address at a free port; each connection gets a
// thread that answers after `delayMs`, or never (then it waits for the
// client to go).
unsigned short Serve(DWORD delayMs, bool answer) {
  const SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  ::listen(listener, SOMAXCONN);
  int size = sizeof(address);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  std::thread([listener, delayMs, answer] {
    static const std::string reply = Answer();
    for (;;) {
      const SOCKET client = ::accept(listener, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      std::thread([client, delayMs, answer] {
        if (ReadRequest(client) && answer) {
          ::Sleep(delayMs);
          ::send(client, reply.data(), static_cast<int>(reply.size()), 0);
          ::shutdown(client, SD_SEND);
        }
        char rest[256];
        while (::recv(client, rest, sizeof(rest), 0) > 0) {
        }
        ::closesocket(client);
      }).detach();
    }
  }).detach();
  return ntohs(address.sin_port);
}

std::vector<DeviceTarget> Devices(size_t count, unsigned short port) {
  std::vector<DeviceTarget> devices;
  for (size_t i = 0; i < count; ++i) {
    DeviceTarget device;
    NotProbedReason why = NotProbedReason::NotAsked;
    IppPortTarget(L"ipp://127.0." + std::to_wstring(1 + i / 250) + L"." +
                      std::to_wstring(1 + i % 250) + L":" + std::to_wstring(port) + L"/ipp/print",
                  device, why);
    devices.push_back(std::move(device));
  }
  return devices;
}

void Probe(const char* what, const std::vector<DeviceTarget>& devices, unsigned limitSeconds,
           DeviceVerdictKind expected, double target) {
  ProbeOptions options;
  options.limitSeconds = limitSeconds;
  std::atomic<bool> cancel{false};
  const auto start = bench::Now();
  const auto results = ProbeDevices(devices, options, cancel, {});
  const double seconds = bench::Seconds(start, bench::Now());
  size_t expectedCount = 0;
  for (const auto& result : results) {
    expectedCount += DeviceVerdictOf(result, limitSeconds, L"").kind == expected;
  }
  std::fprintf(stderr, "  %-58s %6.2f s (target %.2f s), %zu of %zu as expected\n", what, seconds,
               target, expectedCount, results.size());
}

}  // namespace

int main() {
  WSADATA winsock;
  ::WSAStartup(MAKEWORD(2, 2), &winsock);
  const unsigned short answering = Serve(250, true);
  const unsigned short silent = Serve(0, false);
  std::fprintf(stderr, "Device probe (WinHTTP, loopback devices served by this program):\n");
  Probe("64 devices answering after 250 ms", Devices(64, answering), 5,
        DeviceVerdictKind::IppEverywhere, 1.5);
  Probe("64 devices never answering, /probe-timeout:2", Devices(64, silent), 2,
        DeviceVerdictKind::NoIppAnswer, 3.0);
  Probe("1,000 devices answering after 250 ms", Devices(1000, answering), 5,
        DeviceVerdictKind::IppEverywhere, 6.0);
  std::fflush(stderr);
  ::ExitProcess(0);  // the servers' threads are still waiting on their sockets
}
