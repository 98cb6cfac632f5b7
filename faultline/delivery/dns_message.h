#pragma once
// The two DNS messages of the mail-exchanger lookup: the MX query sent over UDP, and the reading of
// the reply. The socket work lives elsewhere; these only build and read bytes, so that a hostile or
// broken reply can be tested (and fuzzed) without a network.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/exception.h"

// An identifier of no particular meaning, for building and reading messages in tests. Every query
// delivery sends draws its own from the system's random source, so that a forged reply has to
// guess it; the reply must carry it back.
inline constexpr uint16_t kMxQueryId = 0x4141;
inline constexpr uint16_t kDnsTypeMx = 15;

// Raised for a domain that cannot be written as a DNS name (empty, an empty label such as "a..b",
// a label over 63 bytes, a name over 255 bytes): sending it would give a malformed query.
class EFaultDnsError : public Exception {
 public:
  using Exception::Exception;
};

// The mail domain of an address: the text after its first "@", the whole text when it has none.
std::string MxDomain(std::string_view address);

// The query, byte for byte: header (the identifier, big-endian; flags 01 00 = recursion desired,
// one question, no other records), the domain as length-prefixed labels cut at ".", a zero byte,
// type MX (00 0F), class IN (00 01). Labels keep their case. One trailing "." (an absolute name)
// is dropped. Throws EFaultDnsError for a domain that cannot be encoded.
std::string MxQuery(std::string_view domain, uint16_t id);

// The exchange names of the MX records in the answer section of reply, labels joined by "."
// without a trailing dot, the most preferred (lowest preference value) first; records of equal
// preference keep the order of the reply. Empty when the reply is not the answer to the query
// with identifier expectedId, not a response, not successful (response code other than 0), has no
// answer, is malformed anywhere in its header, question or answer sections, or has no MX answer
// (a null MX, whose exchange is the root, says the domain takes no mail and is left out). An
// exchange label holding ".", a blank or a control character makes the reply malformed: such a
// name could not be looked up as it reads. Reads only inside reply and always ends.
std::vector<std::string> ParseMxExchangers(std::string_view reply, uint16_t expectedId);

// The most preferred exchange of ParseMxExchangers; nullopt when there is none.
std::optional<std::string> ParseMxReply(std::string_view reply, uint16_t expectedId);

// A DNS server to ask: an IPv4 address (or host name) and its UDP port.
struct TDnsServer {
  std::string Host;
  uint16_t Port = 53;
  bool operator==(const TDnsServer&) const = default;
};

// "host" or "host:port" (port 1..65535); blanks around are trimmed. nullopt for an empty host or a
// port that is not such a number.
std::optional<TDnsServer> ParseDnsServer(std::string_view text);

// The servers asked for a mail exchanger, in order: those the system names (trimmed; empty ones
// and "0.0.0.0" skipped, a server named twice asked once) on port 53, then the fallback server,
// which may carry its own port. An unusable fallback text is left out.
std::vector<TDnsServer> MxLookupServers(const std::vector<std::string>& systemServers,
                                        std::string_view fallbackServer);

// How long attempt 0, 1, 2 on one server waits for the reply: a third of the lookup's timeout
// (plus 50 ms), and 100 ms more for each further attempt.
inline constexpr int kMxAttempts = 3;
uint32_t MxAttemptTimeout(uint32_t lookupTimeoutMs, int attempt);
