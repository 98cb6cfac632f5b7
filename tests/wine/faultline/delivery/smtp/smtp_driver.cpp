// Runs SMTP deliveries described in a case file and writes what each returned, for check.py.
//
// Usage: smtp_driver CASES RESULTS
// CASES: blocks of "Key=Value" lines ended by a line "==". Values use the escapes \r \n \\ \xHH.
//   Name, Mx (0/1), Server, Port, User, Password, Sender, Recipients, Subject, Body,
//   Attach (Path|DisplayName, repeatable), Archive (Source|ArchivePath|DisplayName: packs Source
//   into a gzip-compressed tar with our archive writer and attaches it), Timeout, DnsTimeout,
//   FallbackDns (required: the built-in public server must never be asked from a test).
// RESULTS: per case "case=", "sent=", "code=", "error=" (hex of the bytes), one
//   "recipient=address|server|sent|error" per recipient (all but sent in hex), "status="
//   (number,recipient,count;...), "progress=" (the percentages reported, in order, repeats
//   dropped), "ms=" (how long it took), then "==".
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "faultline/delivery/attachments.h"
#include "faultline/delivery/smtp_send.h"

namespace {

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'r') out += '\r';
    else if (c == 'n') out += '\n';
    else if (c == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char h[3];
  for (unsigned char c : bytes) {
    std::snprintf(h, sizeof h, "%02x", c);
    out += h;
  }
  return out;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::stringstream in(text);
  std::string piece;
  while (std::getline(in, piece, sep)) out.push_back(piece);
  return out;
}

[[noreturn]] void Refuse(const std::string& why) {
  std::fprintf(stderr, "smtp_driver: %s\n", why.c_str());
  std::exit(2);
}

// Servers of a test live on this machine's loopback address and nowhere else.
void RequireLoopback(const std::string& host, const std::string& what) {
  if (host != "127.0.0.1" && host.rfind("127.0.0.1:", 0) != 0)
    Refuse(what + " must be 127.0.0.1, not \"" + host + "\"");
}

std::string RunCase(const std::vector<std::pair<std::string, std::string>>& fields) {
  TSmtpSendRequest request;
  request.FallbackDns.clear();
  std::string name;
  bool fallbackGiven = false;
  for (const auto& [key, raw] : fields) {
    const std::string value = Unescape(raw);
    if (key == "Name") name = value;
    else if (key == "Mx") request.UseMailExchanger = value == "1";
    else if (key == "Server") request.Server = value;
    else if (key == "Port") request.Port = static_cast<uint16_t>(std::stoi(value));
    else if (key == "User") request.User = value;
    else if (key == "Password") request.Password = value;
    else if (key == "Sender") request.Sender = value;
    else if (key == "Recipients") request.Recipients = value;
    else if (key == "Subject") request.Subject = value;
    else if (key == "Body") request.Body = value;
    else if (key == "Timeout") request.TimeoutMs = static_cast<uint32_t>(std::stoul(value));
    else if (key == "DnsTimeout") request.DnsTimeoutMs = static_cast<uint32_t>(std::stoul(value));
    else if (key == "FallbackDns") {
      request.FallbackDns = value;
      fallbackGiven = true;
    } else if (key == "Attach") {
      const auto parts = Split(value, '|');
      request.Attachments.push_back({parts.at(0), parts.size() > 1 ? parts[1] : ""});
    } else if (key == "Archive") {
      const auto parts = Split(value, '|');
      BuildArchive(parts.at(1), {parts.at(0)}, 0, 0, WinFileAccess());
      request.Attachments.push_back({parts.at(1), parts.at(2)});
    } else Refuse("unknown key " + key);
  }
  if (!fallbackGiven) Refuse("case " + name + " names no FallbackDns");
  RequireLoopback(request.FallbackDns, "FallbackDns");
  if (!request.UseMailExchanger) RequireLoopback(request.Server, "Server");

  std::string statuses;
  std::vector<int> progress;
  request.OnStatus = [&statuses](int text, int number, int count) {
    statuses += std::to_string(text) + "," + std::to_string(number) + "," + std::to_string(count) + ";";
  };
  request.OnProgress = [&progress](int percent) {
    if (progress.empty() || progress.back() != percent) progress.push_back(percent);
  };
  const DWORD started = GetTickCount();
  const TSmtpSendResult result = SendReportBySmtp(request);
  const DWORD elapsed = GetTickCount() - started;

  std::string out = "case=" + name + "\n";
  out += "sent=" + std::to_string(result.Sent ? 1 : 0) + "\n";
  out += "code=" + std::to_string(result.ErrorCode) + "\n";
  out += "error=" + Hex(result.ErrorText) + "\n";
  for (const TSmtpRecipientResult& r : result.Recipients)
    out += "recipient=" + Hex(r.Recipient) + "|" + Hex(r.Server) + "|" + (r.Sent ? "1" : "0") + "|" +
           Hex(r.Error) + "\n";
  out += "status=" + statuses + "\n";
  out += "ms=" + std::to_string(elapsed) + "\n";
  out += "progress=";
  for (size_t i = 0; i < progress.size(); ++i) out += (i ? "," : "") + std::to_string(progress[i]);
  out += "\n==\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) Refuse("usage: smtp_driver CASES RESULTS");
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) Refuse(std::string("cannot read ") + argv[1]);
  std::ofstream out(argv[2], std::ios::binary);
  if (!out) Refuse(std::string("cannot write ") + argv[2]);
  std::vector<std::pair<std::string, std::string>> fields;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "==") {
      out << RunCase(fields);
      out.flush();
      fields.clear();
      continue;
    }
    const size_t eq = line.find('=');
    if (line.empty() || eq == std::string::npos) continue;
    fields.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  return 0;
}
