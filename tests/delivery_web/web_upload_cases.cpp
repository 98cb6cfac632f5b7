// Runs a list of web uploads and writes what each one returned, for check.py to judge against the
// servers it started. Usage: web_upload_cases CASES RESULTS
//
// CASES holds directives, one a line; every value is "x" followed by its bytes in hexadecimal:
//   trust xPATH                      add a DER certificate to the machine's trusted roots
//   case NAME                        starts a case
//   mode http|https|ftp   address xA   port N   user xU   password xP   timeout MS   library xL
//   field xNAME xVALUE               a form field
//   file xPATH xDISPLAY              an attachment and its display name ("-": none)
//   end                              runs the case
// RESULTS: per case "NAME<TAB>code<TAB>error code<TAB>x message<TAB>progress", progress being
// "stage:total:done" items separated by ",".
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "faultline/delivery/web_upload.h"

namespace {

std::string Unhex(const std::string& token) {
  std::string out;
  for (size_t i = 1; i + 1 < token.size(); i += 2) out += static_cast<char>(std::stoi(token.substr(i, 2), nullptr, 16));
  return out;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "x";
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

bool Trust(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "Root");
  if (!store) return false;
  const BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                   reinterpret_cast<const BYTE*>(der.data()),
                                                   static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                   nullptr);
  CertCloseStore(store, 0);
  return ok != FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: web_upload_cases CASES RESULTS\n");
    return 2;
  }
  std::ifstream cases(argv[1], std::ios::binary);
  std::ofstream results(argv[2], std::ios::binary);
  std::string line, name;
  TWebUploadRequest request;
  std::string progress;
  while (std::getline(cases, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string key, a, b;
    words >> key >> a >> b;
    if (key == "trust") {
      if (!Trust(Unhex(a))) {
        std::fprintf(stderr, "cannot trust the certificate\n");
        return 1;
      }
    } else if (key == "case") {
      name = a;
      request = TWebUploadRequest();
      progress.clear();
      request.Progress = [&progress](int stage, uint32_t total, uint32_t done) {
        if (!progress.empty()) progress += ',';
        progress += std::to_string(stage) + ":" + std::to_string(total) + ":" + std::to_string(done);
      };
    } else if (key == "mode") {
      request.Mode = a == "https" ? TWebUploadMode::Https : a == "ftp" ? TWebUploadMode::Ftp : TWebUploadMode::Http;
    } else if (key == "address") {
      request.Address = Unhex(a);
    } else if (key == "port") {
      request.Port = static_cast<uint16_t>(std::stoul(a));
    } else if (key == "user") {
      request.User = Unhex(a);
    } else if (key == "password") {
      request.Password = Unhex(a);
    } else if (key == "timeout") {
      request.TimeoutMs = static_cast<uint32_t>(std::stoul(a));
    } else if (key == "library") {
      request.Library = Unhex(a);
    } else if (key == "field") {
      request.FieldNames.push_back(Unhex(a));
      request.FieldValues.push_back(Unhex(b));
    } else if (key == "file") {
      request.Files.push_back(Unhex(a));
      if (b != "-") request.DisplayNames.push_back(Unhex(b));
    } else if (key == "end") {
      const TWebUploadResult r = UploadToWeb(request);
      results << name << '\t' << r.Code << '\t' << FaultlineErrorCodeName(r.ErrorCode) << '\t' << Hex(r.Message)
              << '\t' << progress << '\n';
      results.flush();
    }
  }
  return 0;
}
