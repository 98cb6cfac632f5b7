#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "faultline/delivery/client_socket.h"
#include "faultline/delivery/dns_message.h"

std::vector<std::string> SystemDnsServers() {
  std::vector<std::string> servers;
  // IP Helper is loaded when needed: a system without it still has the fallback server.
  HMODULE library = LoadLibraryA("IPHLPAPI.DLL");
  if (!library) return servers;
  using TGetNetworkParams = DWORD(WINAPI*)(PFIXED_INFO, PULONG);
  const auto getNetworkParams =
      reinterpret_cast<TGetNetworkParams>(reinterpret_cast<void*>(GetProcAddress(library, "GetNetworkParams")));
  ULONG size = 0;
  if (getNetworkParams && getNetworkParams(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size >= sizeof(FIXED_INFO)) {
    std::vector<char> buffer(size);
    auto* info = reinterpret_cast<FIXED_INFO*>(buffer.data());
    if (getNetworkParams(info, &size) == ERROR_SUCCESS) {
      // The chain lives inside the buffer; the count bound keeps a damaged one from looping.
      int count = 0;
      for (const IP_ADDR_STRING* entry = &info->DnsServerList; entry && count < 64; entry = entry->Next, ++count) {
        const char* text = entry->IpAddress.String;
        servers.emplace_back(text, strnlen(text, sizeof entry->IpAddress.String));
      }
    }
  }
  FreeLibrary(library);
  return servers;
}

std::string ResolveMailExchanger(std::string_view address, uint32_t timeoutMs, std::string_view fallbackServer) {
  const std::string domain = MxDomain(address);
  const std::string query = MxQuery(domain);
  for (const TDnsServer& server : MxLookupServers(SystemDnsServers(), fallbackServer)) {
    for (int attempt = 0; attempt < kMxAttempts; ++attempt) {
      try {
        TFaultClientSocket client(server.Host, MxAttemptTimeout(timeoutMs, attempt), false, server.Port);
        client.Connect();
        if (client.SendString(query) < query.size()) continue;
        const std::string reply = client.ReadWithTimeout();
        if (reply.empty()) continue;
        if (std::optional<std::string> exchange = ParseMxReply(reply)) return *exchange;
      } catch (const EFaultSocketError&) {
        // A server we cannot reach (its port closed, its name unknown) is one that did not
        // answer: the next attempt or server may.
      }
    }
  }
  throw EFaultSocketError("Cannot resolve the \"" + domain + "\" MX record.");
}
