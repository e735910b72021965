// Which texts name a device on the network: a DNS host name, an IPv4 or an
// IPv6 address. The device probe contacts only such a host, and a copy makes
// TCP/IP ports only for one.
#pragma once

#include <string>
#include <string_view>

namespace kestrun {

// A host Kestrun may contact: a DNS name (letters, digits and "-", labels of
// 1 to 63, 253 in all, the last not all digits), an IPv4 address (four
// parts 0 to 255, no leading zeros) or an IPv6 address, bare or in brackets;
// the brackets are not kept. False for anything else.
bool ParseHost(std::wstring_view text, std::wstring& host);

}  // namespace kestrun
