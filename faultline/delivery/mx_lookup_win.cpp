#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "faultline/delivery/client_socket.h"
#include "faultline/delivery/dns_message.h"
#include "faultline/delivery/smtp_send.h"

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

namespace {

// A query identifier from the system's random source (RtlGenRandom, exported by ADVAPI32 as
// SystemFunction036), so that an off-path sender cannot forge the reply by guessing it. Where that
// is missing, the clock's fine bits are still better than a constant.
uint16_t RandomQueryId() {
  uint16_t id = 0;
  bool filled = false;
  // Kept loaded once loaded (it nearly always is already): a delivery may run while the report
  // still waits for other threads, and loading libraries again and again is no help there.
  HMODULE library = GetModuleHandleA("advapi32.dll");
  if (!library) library = LoadLibraryA("advapi32.dll");
  if (library) {
    using TGenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
    const auto genRandom =
        reinterpret_cast<TGenRandom>(reinterpret_cast<void*>(GetProcAddress(library, "SystemFunction036")));
    filled = genRandom && genRandom(&id, sizeof id);
  }
  if (!filled) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const uint64_t mixed = static_cast<uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15ull ^ GetCurrentThreadId();
    id = static_cast<uint16_t>(mixed >> 48);
  }
  return id;
}

}  // namespace

std::vector<std::string> ResolveMailExchangers(std::string_view address, uint32_t timeoutMs,
                                               std::string_view fallbackServer) {
  const std::string domain = MxDomain(address);
  MxQuery(domain, 0);  // a domain that cannot be asked for fails before any server is
  for (const TDnsServer& server : MxLookupServers(SystemDnsServers(), fallbackServer)) {
    for (int attempt = 0; attempt < kMxAttempts; ++attempt) {
      try {
        // Every query its own identifier: a late reply to an earlier attempt is not taken for
        // the answer to this one.
        const uint16_t id = RandomQueryId();
        const std::string query = MxQuery(domain, id);
        TFaultClientSocket client(server.Host, MxAttemptTimeout(timeoutMs, attempt), false, server.Port);
        client.Connect();
        if (client.SendString(query) < query.size()) continue;
        const std::string reply = client.ReadWithTimeout();
        if (reply.empty()) continue;
        // A reply that does not carry our identifier is refused like a damaged one.
        std::vector<std::string> exchanges = ParseMxExchangers(reply, id);
        if (!exchanges.empty()) return exchanges;
      } catch (const EFaultSocketError&) {
        // A server we cannot reach (its port closed, its name unknown) is one that did not
        // answer: the next attempt or server may.
      }
    }
  }
  throw EFaultSocketError("Cannot resolve the \"" + domain + "\" MX record.");
}

std::string ResolveMailExchanger(std::string_view address, uint32_t timeoutMs, std::string_view fallbackServer) {
  return ResolveMailExchangers(address, timeoutMs, fallbackServer).front();
}
