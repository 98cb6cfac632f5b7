// A mail client of our own for the tests: its Simple MAPI entry points write what they receive to
// the folder named by TARN_MAPI_OUT (message.txt, and a copy of every attached file), and
// MAPISendMail answers with the number in TARN_MAPI_RESULT (0 when unset).
//
// message.txt, one item a line, texts as "x" + hexadecimal bytes:
//   logon FLAGS | send FLAGS | subject xS | body xB | recipient CLASS xNAME xADDRESS
//   file POSITION xPATH xNAME COPY | logoff
#include <windows.h>
#include <mapi.h>

#include <cstdio>
#include <string>

namespace {

std::string Env(const char* name) {
  char buf[1024];
  DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
  return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

std::string Hex(const char* text) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "x";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text ? text : ""); *p; ++p) {
    out += digits[*p >> 4];
    out += digits[*p & 15];
  }
  return out;
}

void Append(const std::string& line) {
  std::string folder = Env("TARN_MAPI_OUT");
  if (folder.empty()) return;
  if (FILE* f = std::fopen((folder + "\\message.txt").c_str(), "ab")) {
    std::fputs((line + "\r\n").c_str(), f);
    std::fclose(f);
  }
}

}  // namespace

extern "C" {

ULONG WINAPI MAPILogon(ULONG_PTR, LPSTR, LPSTR, FLAGS flags, ULONG, LPLHANDLE session) {
  Append("logon " + std::to_string(flags));
  *session = 0x7A2;
  return SUCCESS_SUCCESS;
}

ULONG WINAPI MAPILogoff(LHANDLE session, ULONG_PTR, FLAGS, ULONG) {
  Append(session == 0x7A2 ? "logoff" : "logoff of an unknown session");
  return SUCCESS_SUCCESS;
}

ULONG WINAPI MAPISendMail(LHANDLE session, ULONG_PTR, lpMapiMessage message, FLAGS flags, ULONG) {
  if (session != 0x7A2) Append("send in an unknown session");
  Append("send " + std::to_string(flags));
  Append("subject " + Hex(message->lpszSubject));
  Append("body " + Hex(message->lpszNoteText));
  for (ULONG i = 0; i < message->nRecipCount; ++i) {
    const MapiRecipDesc& r = message->lpRecips[i];
    Append("recipient " + std::to_string(r.ulRecipClass) + " " + Hex(r.lpszName) + " " + Hex(r.lpszAddress));
  }
  for (ULONG i = 0; i < message->nFileCount; ++i) {
    const MapiFileDesc& f = message->lpFiles[i];
    // The files are temporary: keep a copy while they are there.
    std::string copy = "attachment" + std::to_string(i);
    CopyFileA(f.lpszPathName, (Env("TARN_MAPI_OUT") + "\\" + copy).c_str(), FALSE);
    Append("file " + std::to_string(f.nPosition) + " " + Hex(f.lpszPathName) + " " + Hex(f.lpszFileName) + " " + copy);
  }
  std::string result = Env("TARN_MAPI_RESULT");
  return result.empty() ? SUCCESS_SUCCESS : std::stoul(result);
}

}  // extern "C"
