#include "faultline/delivery/dns_message.h"

#include <algorithm>

namespace {

// A reply comes from the network: every offset in it is checked before use, and compression
// pointers are followed a bounded number of times so that a pointer loop cannot hang delivery.
constexpr int kMaxPointerHops = 64;
// RFC 1035 limits: a label carries at most 63 bytes, a whole name at most 255 bytes on the wire
// (each label with its length byte, plus the closing zero byte).
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxNameWire = 255;

uint16_t Be16(std::string_view msg, size_t pos) {
  return static_cast<uint16_t>((static_cast<uint8_t>(msg[pos]) << 8) | static_cast<uint8_t>(msg[pos + 1]));
}

// A label of a name we connect to: a "." inside would change the name once the labels are joined,
// and blanks or control characters belong in no host name.
bool IsHostLabel(std::string_view label) {
  for (char c : label) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 127 || c == '.') return false;
  }
  return true;
}

// Reads the name at pos. On success name holds the labels joined by "." and next the offset just
// after the name as it is written at pos (after the first pointer when it is compressed). With
// hostName every label must pass IsHostLabel.
bool ReadName(std::string_view msg, size_t pos, std::string& name, size_t& next, bool hostName = false) {
  name.clear();
  size_t wire = 1;  // the closing zero byte
  bool jumped = false;
  int hops = 0;
  for (;;) {
    if (pos >= msg.size()) return false;
    const uint8_t len = static_cast<uint8_t>(msg[pos]);
    if (len == 0) {
      if (!jumped) next = pos + 1;
      return true;
    }
    if ((len & 0xC0) == 0xC0) {
      if (msg.size() - pos < 2 || ++hops > kMaxPointerHops) return false;
      if (!jumped) next = pos + 2;
      jumped = true;
      pos = Be16(msg, pos) & 0x3FFF;
      continue;
    }
    // 0x40 and 0x80 start label kinds that were never deployed; no honest server sends them.
    if (len > kMaxLabel) return false;
    if (len > msg.size() - pos - 1) return false;
    if (hostName && !IsHostLabel(msg.substr(pos + 1, len))) return false;
    wire += 1 + len;
    if (wire > kMaxNameWire) return false;
    if (!name.empty()) name += '.';
    name.append(msg.substr(pos + 1, len));
    pos += 1 + len;
  }
}

}  // namespace

std::string MxDomain(std::string_view address) {
  size_t at = address.find('@');
  return std::string(at == std::string_view::npos ? address : address.substr(at + 1));
}

std::string MxQuery(std::string_view domain, uint16_t id) {
  std::string_view name = domain;
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  std::string query("\x00\x00\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 12);
  query[0] = static_cast<char>(id >> 8);
  query[1] = static_cast<char>(id & 0xFF);
  size_t wire = 1;
  size_t start = 0;
  for (;;) {
    size_t dot = name.find('.', start);
    std::string_view label = name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    wire += 1 + label.size();
    // An empty label would end the name early and leave the rest as garbage; a longer label or
    // name cannot be expressed. Either way the server would only answer with an error.
    if (label.empty() || label.size() > kMaxLabel || wire > kMaxNameWire)
      throw EFaultDnsError("Invalid mail domain: \"" + std::string(domain) + "\"");
    query += static_cast<char>(label.size());
    query.append(label);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  query.append("\x00\x00\x0F\x00\x01", 5);
  return query;
}

std::vector<std::string> ParseMxExchangers(std::string_view reply, uint16_t expectedId) {
  const std::vector<std::string> none;
  if (reply.size() < 12) return none;
  if (Be16(reply, 0) != expectedId) return none;
  const uint8_t flagsHigh = static_cast<uint8_t>(reply[2]);
  const uint8_t flagsLow = static_cast<uint8_t>(reply[3]);
  const bool isResponse = flagsHigh & 0x80;
  const int opcode = (flagsHigh >> 3) & 0x0F;
  const int rcode = flagsLow & 0x0F;
  if (!isResponse || opcode != 0 || rcode != 0) return none;
  const uint16_t questions = Be16(reply, 4);
  const uint16_t answers = Be16(reply, 6);
  if (answers == 0) return none;

  std::string name;
  size_t pos = 12;
  for (uint16_t i = 0; i < questions; ++i) {
    if (!ReadName(reply, pos, name, pos)) return none;
    if (reply.size() - pos < 4) return none;  // type, class
    pos += 4;
  }

  // Every answer is walked: a reply whose answer section does not hold together is rejected as a
  // whole rather than half-trusted.
  std::vector<std::pair<uint16_t, std::string>> exchanges;
  for (uint16_t i = 0; i < answers; ++i) {
    if (!ReadName(reply, pos, name, pos)) return none;
    if (reply.size() - pos < 10) return none;  // type, class, time to live, data length
    const uint16_t type = Be16(reply, pos);
    const uint16_t dataLength = Be16(reply, pos + 8);
    const size_t data = pos + 10;
    if (reply.size() - data < dataLength) return none;
    const size_t dataEnd = data + dataLength;
    if (type == kDnsTypeMx) {
      // Preference (2 bytes), then the exchange name; the part written here must stay inside the
      // record (a compression pointer may lead anywhere in the message).
      size_t nameEnd = 0;
      if (dataLength < 3 || !ReadName(reply, data + 2, name, nameEnd, true) || nameEnd > dataEnd) return none;
      // A null MX (exchange ".") says that the domain takes no mail.
      if (!name.empty()) exchanges.emplace_back(Be16(reply, data), name);
    }
    pos = dataEnd;
  }
  // Servers list the records in any order; mail goes to the most preferred exchanger first.
  std::stable_sort(exchanges.begin(), exchanges.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  for (auto& [preference, exchange] : exchanges) out.push_back(std::move(exchange));
  return out;
}

std::optional<std::string> ParseMxReply(std::string_view reply, uint16_t expectedId) {
  std::vector<std::string> exchanges = ParseMxExchangers(reply, expectedId);
  if (exchanges.empty()) return std::nullopt;
  return std::move(exchanges.front());
}


namespace {

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<TDnsServer> ParseDnsServer(std::string_view text) {
  text = TrimBlanks(text);
  TDnsServer server;
  const size_t colon = text.rfind(':');
  if (colon != std::string_view::npos) {
    const std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5) return std::nullopt;
    uint32_t value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 0xFFFF) return std::nullopt;
    server.Port = static_cast<uint16_t>(value);
    text = text.substr(0, colon);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (static_cast<unsigned char>(c) <= ' ' || c == ':') return std::nullopt;
  server.Host = std::string(text);
  return server;
}

std::vector<TDnsServer> MxLookupServers(const std::vector<std::string>& systemServers,
                                        std::string_view fallbackServer) {
  std::vector<TDnsServer> out;
  auto add = [&out](const TDnsServer& server) {
    for (const TDnsServer& s : out)
      if (s == server) return;
    out.push_back(server);
  };
  for (const std::string& entry : systemServers) {
    const std::string_view host = TrimBlanks(entry);
    if (host.empty() || host == "0.0.0.0") continue;
    add(TDnsServer{std::string(host), 53});
  }
  if (std::optional<TDnsServer> fallback = ParseDnsServer(fallbackServer)) add(*fallback);
  return out;
}

uint32_t MxAttemptTimeout(uint32_t lookupTimeoutMs, int attempt) {
  return static_cast<uint32_t>((uint64_t{lookupTimeoutMs} + 150) / 3) + 100 * static_cast<uint32_t>(attempt);
}
