// The MX query judged by a real DNS library (dnslib parses our bytes and builds the same query
// itself), replies built by dnslib read back (exchangers in order of preference), and hostile
// replies (truncated, looping, pointing outside, not ours, not answers) refused without reading
// past the message.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "tests/unit/python_judge.h"
#include "faultline/delivery/dns_message.h"

namespace fs = std::filesystem;

namespace {

using namespace python_judge;

// Parses from a heap block of exactly the reply's size, so that AddressSanitizer reports any read
// past the end.
std::optional<std::string> Parse(const std::string& reply, uint16_t id = kMxQueryId) {
  std::unique_ptr<char[]> block(new char[reply.size()]);
  std::copy(reply.begin(), reply.end(), block.get());
  return ParseMxReply(std::string_view(block.get(), reply.size()), id);
}

TEST(MxQuery, ExactBytes) {
  EXPECT_EQ(MxQuery("mail.Example.com", 0xB70E),
            std::string("\xB7\x0E\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                        "\x04mail\x07"
                        "Example\x03"
                        "com\x00\x00\x0F\x00\x01",
                        34));
  EXPECT_EQ(MxQuery("example.com.", 7), MxQuery("example.com", 7));  // an absolute name
}

TEST(MxQuery, DnslibReadsItAndBuildsTheSameBytes) {
  const std::vector<std::pair<std::string, uint16_t>> domains = {
      {"example.com", 0x4141}, {"Mail.Example.ORG", 0}, {"a.b.c.d.e.f", 0xFFFF},
      {std::string(63, 'x') + ".com", 0x8001}, {"xn--fsq.example", 0x00FF}};
  std::string input;
  for (const auto& [d, id] : domains) input += Hex(MxQuery(d, id)) + "\n";
  const std::string out = RunPython(R"PY(
import sys
from dnslib import DNSRecord, DNSHeader, DNSQuestion, QTYPE
for line in open(sys.argv[1]):
    b = bytes.fromhex(line.strip())
    r = DNSRecord.parse(b)
    h, q = r.header, r.questions[0]
    own = DNSRecord(DNSHeader(id=h.id, rd=1), q=DNSQuestion(str(q.qname), QTYPE.MX)).pack()
    print(hex(h.id), h.qr, h.opcode, h.rd, h.q, h.a, h.auth, h.ar, str(q.qname), QTYPE[q.qtype], q.qclass, own == b)
)PY",
                                    input);
  std::istringstream lines(out);
  for (const auto& [d, id] : domains) {
    std::string line;
    std::getline(lines, line);
    char idText[8];
    std::snprintf(idText, sizeof idText, "%#x", id);
    EXPECT_EQ(line, std::string(id ? idText : "0x0") + " 0 0 1 1 0 0 0 " + d + ". MX 1 True");
  }
}

TEST(MxQuery, RefusesDomainsThatCannotBeEncoded) {
  for (const std::string& d : {std::string(), std::string("."), std::string("a..b"), std::string(".a"),
                               std::string(64, 'x') + ".com",
                               std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                                   std::string(62, 'd')})
    EXPECT_THROW(MxQuery(d, kMxQueryId), EFaultDnsError) << d;
  // 253 characters is the longest name that fits.
  EXPECT_NO_THROW(MxQuery(std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
                          std::string(61, 'd'), kMxQueryId));
}

TEST(MxDomain, TextAfterFirstAt) {
  EXPECT_EQ(MxDomain("user@example.com"), "example.com");
  EXPECT_EQ(MxDomain("a@b@c.org"), "b@c.org");
  EXPECT_EQ(MxDomain("example.com"), "example.com");
  EXPECT_EQ(MxDomain("user@"), "");
}

// Replies built by dnslib, each with the exchangers ParseMxExchangers must find, in order and
// joined by "," ("-" for none).
const char kReplies[] = R"PY(
import sys
from dnslib import *

def reply(answers=(), rcode=0, id=0x4141, qr=1, auth=(), ar=(), qname="example.com"):
    r = DNSRecord(DNSHeader(id=id, qr=qr, rd=1, ra=1, rcode=rcode), q=DNSQuestion(qname, QTYPE.MX))
    for a in answers: r.add_answer(a)
    for a in auth: r.add_auth(a)
    for a in ar: r.add_ar(a)
    return r.pack()

def mx(owner, exchange, pref=10): return RR(owner, QTYPE.MX, rdata=MX(exchange, pref), ttl=300)

def uncompressed(build):
    keep = DNSBuffer.encode_name
    DNSBuffer.encode_name = DNSBuffer.encode_name_nocompress
    try: return build()
    finally: DNSBuffer.encode_name = keep

soa = RR("example.com", QTYPE.SOA, rdata=SOA("ns.example.com", "admin.example.com", (1, 2, 3, 4, 5)))
cases = {
    "one_mx mx1.example.com": reply([mx("example.com", "mx1.example.com")]),
    "several_mx_by_preference first.example.com,second.example.com,third.example.net":
        reply([mx("example.com", "second.example.com", 20), mx("example.com", "first.example.com", 5),
               mx("example.com", "third.example.net", 30)]),
    "equal_preferences_keep_their_order b1.example.com,b2.example.com,a1.example.com,a2.example.com":
        reply([mx("example.com", "a1.example.com", 300), mx("example.com", "b1.example.com", 10),
               mx("example.com", "a2.example.com", 300), mx("example.com", "b2.example.com", 10)]),
    "null_mx_among_others mx1.example.com": reply([mx("example.com", ".", 0), mx("example.com", "mx1.example.com")]),
    "cname_then_mx mx.alias.example.net":
        reply([RR("example.com", QTYPE.CNAME, rdata=CNAME("alias.example.net"), ttl=60),
               mx("alias.example.net", "mx.alias.example.net")]),
    "a_before_mx mail.other.org": reply([RR("example.com", QTYPE.A, rdata=A("10.0.0.1")),
                                         mx("example.com", "mail.other.org")]),
    "uncompressed mx1.example.com": uncompressed(lambda: reply([mx("example.com", "mx1.example.com")])),
    "uncompressed_cname mx.alias.example.net": uncompressed(lambda: reply(
        [RR("example.com", QTYPE.CNAME, rdata=CNAME("alias.example.net")),
         mx("alias.example.net", "mx.alias.example.net")])),
    "with_authority_and_additional mx1.example.com":
        reply([mx("example.com", "mx1.example.com")], auth=[soa],
              ar=[RR("mx1.example.com", QTYPE.A, rdata=A("10.0.0.2"))]),
    "mixed_case_kept MX1.Example.COM": reply([mx("example.com", "MX1.Example.COM")]),
    "null_mx -": reply([mx("example.com", ".", 0)]),
    "nxdomain -": reply(rcode=3),
    "servfail_with_answer -": reply([mx("example.com", "mx1.example.com")], rcode=2),
    "no_answers -": reply(auth=[soa]),
    "a_only -": reply([RR("example.com", QTYPE.A, rdata=A("10.0.0.1"))]),
    "cname_only -": reply([RR("example.com", QTYPE.CNAME, rdata=CNAME("alias.example.net"))]),
    "wrong_id -": reply([mx("example.com", "mx1.example.com")], id=0x1234),
    "not_a_response -": reply([mx("example.com", "mx1.example.com")], qr=0),
}
assert len(cases["uncompressed mx1.example.com"]) > len(cases["one_mx mx1.example.com"])
for name, packet in cases.items():
    print(name, packet.hex())
)PY";

std::map<std::string, std::pair<std::string, std::string>> DnslibReplies() {
  std::map<std::string, std::pair<std::string, std::string>> replies;  // name -> (expected, bytes)
  std::istringstream lines(RunPython(kReplies, ""));
  std::string name, expected, hex;
  while (lines >> name >> expected >> hex) replies[name] = {expected, Unhex(hex)};
  EXPECT_FALSE(replies.empty()) << "the reply generator did not run (python3-dnslib installed?)";
  return replies;
}

TEST(ParseMxReply, RepliesBuiltByDnslib) {
  for (const auto& [name, c] : DnslibReplies()) {
    const auto& [expected, bytes] = c;
    std::string all;
    for (const std::string& e : ParseMxExchangers(bytes, kMxQueryId)) all += (all.empty() ? "" : ",") + e;
    EXPECT_EQ(all.empty() ? "-" : all, expected) << name;
    // The single answer is the most preferred exchanger.
    auto exchange = Parse(bytes);
    if (expected == "-")
      EXPECT_FALSE(exchange) << name << " gave " << *exchange;
    else
      EXPECT_EQ(exchange.value_or("<none>"), expected.substr(0, expected.find(','))) << name;
  }
}

TEST(ParseMxReply, ExpectedIdentifierIsThatOfTheCaller) {
  auto replies = DnslibReplies();
  EXPECT_EQ(Parse(replies["wrong_id"].second, 0x1234).value_or("<none>"), "mx1.example.com");
  EXPECT_FALSE(Parse(replies["one_mx"].second, 0x1234));
}

TEST(ParseMxReply, EveryTruncationIsRefused) {
  auto replies = DnslibReplies();
  for (const char* name : {"one_mx", "several_mx_by_preference", "cname_then_mx", "uncompressed"}) {
    const std::string& full = replies[name].second;
    ASSERT_TRUE(Parse(full)) << name;
    for (size_t n = 0; n < full.size(); ++n) EXPECT_FALSE(Parse(full.substr(0, n))) << name << " cut at " << n;
  }
}

// Hand-made replies for what no honest server sends. The question is example.com MX at offset 12;
// the answer starts at offset 29.
std::string Header(int answers = 1) {
  return std::string("\x41\x41\x81\x80\x00\x01\x00", 7) + static_cast<char>(answers) + std::string(4, '\0');
}
const std::string kQuestion("\x07" "example\x03" "com\x00\x00\x0F\x00\x01", 17);
std::string MxRecord(const std::string& owner, const std::string& rdata) {
  std::string rdLength{static_cast<char>(rdata.size() >> 8), static_cast<char>(rdata.size() & 0xFF)};
  return owner + std::string("\x00\x0F\x00\x01\x00\x00\x01\x2C", 8) + rdLength + rdata;
}
const std::string kPtrQuestion("\xC0\x0C", 2);  // the question name
const std::string kPref("\x00\x0A", 2);

TEST(ParseMxReply, HandMadeRepliesMeanWhatTheySay) {
  // Sanity of the fixture: a well-formed compressed exchange "mx.example.com".
  EXPECT_EQ(Parse(Header() + kQuestion + MxRecord(kPtrQuestion, kPref + "\x02mx" + kPtrQuestion)).value_or("<none>"),
            "mx.example.com");
  // A pointer may lead forward too, as long as it stays in the message.
  std::string forward = Header() + kQuestion + MxRecord(kPtrQuestion, kPref + std::string("\xC0\x2D", 2)) +
                        std::string("\x04mail\x00", 6);
  EXPECT_EQ(Parse(forward).value_or("<none>"), "mail");
}

TEST(ParseMxReply, HostileRepliesAreRefused) {
  const std::string base = Header() + kQuestion;
  // Offsets: answer at 29, its rdata at 29 + 2 + 10 = 41, the exchange at 43.
  const std::map<std::string, std::string> hostile = {
      {"exchange points at itself", base + MxRecord(kPtrQuestion, kPref + std::string("\xC0\x2B", 2))},
      {"two pointers point at each other",
       base + MxRecord(kPtrQuestion, kPref + std::string("\xC0\x2D\xC0\x2B", 4))},
      {"label then pointer back to it", base + MxRecord(kPtrQuestion, kPref + std::string("\x01x\xC0\x2B", 4))},
      {"owner name points at itself", base + MxRecord(std::string("\xC0\x1D", 2), kPref + "\x02mx" + kPtrQuestion)},
      {"question name loops", Header() + std::string("\xC0\x0C\x00\x0F\x00\x01", 6) +
                                  MxRecord(kPtrQuestion, kPref + std::string("\x02mx\x00", 4))},
      {"pointer past the end", base + MxRecord(kPtrQuestion, kPref + std::string("\xC0\xF0", 2))},
      {"pointer far past the end", base + MxRecord(kPtrQuestion, kPref + std::string("\xFF\xFF", 2))},
      {"pointer cut in half", base + MxRecord(kPtrQuestion, kPref + std::string("\xC0", 1))},
      {"label runs past the end", base + MxRecord(kPtrQuestion, kPref + std::string("\x3Fmx", 3))},
      {"exchange runs past its record", base + MxRecord(kPtrQuestion, kPref + std::string("\x02", 1)) + "mx" +
                                            std::string(1, '\0')},
      {"rdata length past the end", base + kPtrQuestion + std::string("\x00\x0F\x00\x01\x00\x00\x01\x2C\x00\x40", 10) +
                                        kPref + "\x02mx" + kPtrQuestion},
      {"rdata too short for an exchange", base + MxRecord(kPtrQuestion, kPref)},
      {"exchange label holding a dot", base + MxRecord(kPtrQuestion, kPref + std::string("\x03" "a.b\x00", 5))},
      {"exchange label holding a line break",
       base + MxRecord(kPtrQuestion, kPref + std::string("\x04mx\r\n", 5) + kPtrQuestion)},
      {"reserved label type 0x40", base + MxRecord(kPtrQuestion, kPref + std::string("\x41x\x00", 3))},
      {"more answers counted than present",
       Header(2) + kQuestion + MxRecord(kPtrQuestion, kPref + "\x02mx" + kPtrQuestion)},
      {"name longer than 255 bytes",
       base + MxRecord(kPtrQuestion, kPref + [] {
         std::string n;
         for (int i = 0; i < 5; ++i) n += "\x3F" + std::string(63, 'a');
         return n + std::string(1, '\0');
       }())},
      {"only a header", Header()},
      {"empty", ""},
  };
  for (const auto& [name, reply] : hostile) EXPECT_FALSE(Parse(reply)) << name;
}

// The servers asked: the system's (blank and unset entries skipped, no server twice), then the
// fallback, whose port is its own; a fallback text that names no server adds nothing.
TEST(MxLookupServers, SystemServersThenFallback) {
  using S = std::vector<TDnsServer>;
  EXPECT_EQ(MxLookupServers({"10.1.1.1", " 0.0.0.0 ", "", "  ", " 10.2.2.2\t", "10.1.1.1"}, "127.0.0.1:5353"),
            (S{{"10.1.1.1", 53}, {"10.2.2.2", 53}, {"127.0.0.1", 5353}}));
  EXPECT_EQ(MxLookupServers({}, " 192.0.2.7 "), (S{{"192.0.2.7", 53}}));
  EXPECT_EQ(MxLookupServers({"0.0.0.0"}, "127.0.0.1:53"), (S{{"127.0.0.1", 53}}));
  EXPECT_EQ(MxLookupServers({"127.0.0.1"}, "127.0.0.1"), (S{{"127.0.0.1", 53}}));
  for (const char* bad : {"", ":53", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:5x", "a b:53",
                          "::1", "127.0.0.1:123456"})
    EXPECT_EQ(MxLookupServers({"10.1.1.1"}, bad), (S{{"10.1.1.1", 53}})) << bad;
}

TEST(MxAttemptTimeout, AThirdOfTheLookupAndMoreForEachAttempt) {
  EXPECT_EQ(MxAttemptTimeout(30000, 0), 10050u);
  EXPECT_EQ(MxAttemptTimeout(30000, 2), 10250u);
  EXPECT_EQ(MxAttemptTimeout(0, 1), 150u);
  EXPECT_EQ(MxAttemptTimeout(0xFFFFFFFFu, 0), 1431655815u);  // no wrap-around to a tiny wait
}

}  // namespace
