// Any bytes as a DNS reply: the parser reads only inside the message, always ends (compression
// loops included), and an exchange name it returns is a usable host name.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "faultline/delivery/dns_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view reply(reinterpret_cast<const char*>(data), size);
  // Also parse as if the identifier were expected, so that the search does not stop at that check.
  const uint16_t id = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : kMxQueryId;
  for (uint16_t expected : {kMxQueryId, id}) {
    std::optional<std::string> exchange = ParseMxReply(reply, expected);
    if (!exchange) continue;
    if (expected != id) std::abort();
    const std::string& name = *exchange;
    if (name.empty() || name.size() > 253 || name.front() == '.' || name.back() == '.') std::abort();
    if (name.find("..") != std::string::npos) std::abort();
    for (char c : name)
      if (static_cast<unsigned char>(c) <= ' ' || c == 127) std::abort();
  }
  return 0;
}
