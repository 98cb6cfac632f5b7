#include <windows.h>
#include <iphlpapi.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "faultline/lists/modules_list.h"
#include "faultline/report/report_environment.h"

namespace {

// GetProcAddress gives a generic procedure pointer; going through void* states that the cast
// to the real signature is intended.
template <class F>
F Procedure(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

TDateTime FromSystemTime(const SYSTEMTIME& t) {
  return EncodeDateTime(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond) +
         t.wMilliseconds / 86400000.0;
}

std::string MainModulePath() {
  char buf[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  return std::string(buf, n);
}

std::string RegistryText(HKEY key, const char* name) {
  char buf[512];
  DWORD size = sizeof buf - 1, type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS ||
      type != REG_SZ)
    return std::string();
  buf[size] = 0;
  return buf;
}

std::string QueryProcessor() {
  HKEY key;
  std::string name, vendor, identifier;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0,
                    KEY_READ, &key) == ERROR_SUCCESS) {
    name = RegistryText(key, "ProcessorNameString");
    vendor = RegistryText(key, "VendorIdentifier");
    identifier = RegistryText(key, "Identifier");
    RegCloseKey(key);
  }
  return ProcessorText(name, vendor, identifier);
}

// The locale enumeration callback has no context parameter.
LANGID wantedLanguage;
std::string foundLanguage;

BOOL CALLBACK LocaleProc(LPSTR text) {
  // A locale text is eight hexadecimal digits; the last four are the language identifier.
  if (std::strlen(text) >= 8 && std::strtoul(text + 4, nullptr, 16) == wantedLanguage) {
    const LCID lcid = static_cast<LCID>(std::strtoul(text, nullptr, 16));
    char buf[128];
    if (GetLocaleInfoA(lcid, LOCALE_SENGLANGUAGE, buf, sizeof buf) > 0) {
      foundLanguage = buf;
      return FALSE;
    }
  }
  return TRUE;
}

std::string QueryLanguage() {
  wantedLanguage = GetSystemDefaultLangID();
  foundLanguage.clear();
  EnumSystemLocalesA(LocaleProc, LCID_INSTALLED);
  return foundLanguage;
}

using TGetAdaptersInfo = DWORD(WINAPI*)(PIP_ADAPTER_INFO, PULONG);
using TGetPerAdapterInfo = DWORD(WINAPI*)(ULONG, PIP_PER_ADAPTER_INFO, PULONG);
using TNotifyAddrChange = DWORD(WINAPI*)(PHANDLE, LPOVERLAPPED);
// Found when reporting starts (PrepareReportEnvironment): a report loads no library and looks up
// no procedure, as the thread it waits for may hold the loader's lock.
TGetAdaptersInfo getAdapters = nullptr;
TGetPerAdapterInfo getPerAdapter = nullptr;
TNotifyAddrChange notifyAddrChange = nullptr;

void QueryNetwork(TReportEnvironment& e) {
  if (!getAdapters || !getPerAdapter) return;
  e.NetworkKnown = true;
  ULONG size = 0;
  if (getAdapters(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size > 0) {
    std::unique_ptr<char[]> buf(new char[size]);
    auto* list = reinterpret_cast<PIP_ADAPTER_INFO>(buf.get());
    if (getAdapters(list, &size) == ERROR_SUCCESS) {
      for (PIP_ADAPTER_INFO a = list; a; a = a->Next) {
        TNetworkAdapter n;
        n.Dhcp = a->DhcpEnabled != 0;
        n.IpAddress = a->IpAddressList.IpAddress.String;
        n.SubnetMask = a->IpAddressList.IpMask.String;
        n.Gateway = a->GatewayList.IpAddress.String;
        ULONG perSize = 0;
        if (getPerAdapter(a->Index, nullptr, &perSize) == ERROR_BUFFER_OVERFLOW && perSize > 0) {
          std::unique_ptr<char[]> per(new char[perSize]);
          auto* info = reinterpret_cast<PIP_PER_ADAPTER_INFO>(per.get());
          if (getPerAdapter(a->Index, info, &perSize) == ERROR_SUCCESS)
            for (PIP_ADDR_STRING s = &info->DnsServerList; s && n.DnsServers.size() < 2; s = s->Next)
              n.DnsServers.emplace_back(s->IpAddress.String);
        }
        e.Adapters.push_back(std::move(n));
      }
    }
  }
}

// The network facts: the adapters' enumeration is most of what the machine's facts cost (about
// 10 ms under Wine, where a report takes 20), and they seldom change. Kept here, read afresh when
// the system signals that the addresses changed (where it can) and whenever they are older than
// kNetworkFactsAge; refreshed ahead of reports by the report thread while it waits.
constexpr DWORD kNetworkFactsAge = 30000;
std::mutex networkLock;
bool networkCached = false;
DWORD networkReadAt = 0;
TReportEnvironment networkFacts;  // only NetworkKnown and Adapters
HANDLE addressChange = nullptr;
OVERLAPPED addressWatch{};

// Asks for the next change notice; where the system gives none, the age alone rules from now on.
void WatchAddresses() {
  if (!addressChange) return;
  ResetEvent(addressChange);
  HANDLE unused = nullptr;
  std::memset(&addressWatch, 0, sizeof addressWatch);
  addressWatch.hEvent = addressChange;
  if (!notifyAddrChange || notifyAddrChange(&unused, &addressWatch) != ERROR_IO_PENDING) {
    CloseHandle(addressChange);
    addressChange = nullptr;
  }
}

bool NetworkFactsCurrent() {
  if (!networkCached || GetTickCount() - networkReadAt >= kNetworkFactsAge) return false;
  return !addressChange || WaitForSingleObject(addressChange, 0) != WAIT_OBJECT_0;
}

void StoreNetworkFacts(TReportEnvironment facts) {
  std::lock_guard<std::mutex> guard(networkLock);
  if (addressChange && WaitForSingleObject(addressChange, 0) == WAIT_OBJECT_0) WatchAddresses();
  networkFacts.NetworkKnown = facts.NetworkKnown;
  networkFacts.Adapters = std::move(facts.Adapters);
  networkReadAt = GetTickCount();
  networkCached = true;
}

// Reads them afresh when they may have changed.
void RefreshNetworkFacts() {
  {
    std::lock_guard<std::mutex> guard(networkLock);
    if (NetworkFactsCurrent()) return;
  }
  TReportEnvironment e;
  QueryNetwork(e);
  StoreNetworkFacts(std::move(e));
}

void CachedNetwork(TReportEnvironment& e) {
  RefreshNetworkFacts();
  std::lock_guard<std::mutex> guard(networkLock);
  e.NetworkKnown = networkFacts.NetworkKnown;
  e.Adapters = networkFacts.Adapters;
}

}  // namespace

TReportEnvironment QueryReportEnvironment() {
  TReportEnvironment e;
  char buf[257];
  DWORD n = 16;
  if (GetComputerNameA(buf, &n)) e.ComputerName.assign(buf, n);
  n = 256;
  if (GetUserNameA(buf, &n) && n > 0) e.UserName.assign(buf, n - 1);

  MEMORYSTATUSEX mem{};
  mem.dwLength = sizeof mem;
  if (GlobalMemoryStatusEx(&mem)) {
    e.TotalMemory = mem.ullTotalPhys;
    e.FreeMemory = mem.ullAvailPhys;
  }

  using TGetDiskFreeSpaceEx = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  auto freeSpace = Procedure<TGetDiskFreeSpaceEx>(GetModuleHandleA("kernel32.dll"), "GetDiskFreeSpaceExA");
  const std::string path = MainModulePath();
  if (freeSpace && path.size() >= 3) {
    const std::string root = path.substr(0, 3);
    ULARGE_INTEGER available, total, totalFree;
    if (freeSpace(root.c_str(), &available, &total, &totalFree)) {
      e.DiskKnown = true;
      e.TotalDisk = total.QuadPart;
      e.FreeDisk = available.QuadPart;
    }
  }

  e.UpTimeMs = GetTickCount();
  e.Processor = QueryProcessor();
  e.ScreenWidth = GetSystemMetrics(SM_CXSCREEN);
  e.ScreenHeight = GetSystemMetrics(SM_CYSCREEN);
  if (HDC dc = GetDC(nullptr)) {
    e.BitsPerPixel = GetDeviceCaps(dc, BITSPIXEL);
    ReleaseDC(nullptr, dc);
  }

  OSVERSIONINFOA os{};
  os.dwOSVersionInfoSize = sizeof os;
  if (GetVersionExA(&os)) {
    e.ServicePack = TrimBlanks(os.szCSDVersion);
    e.OsName = OperatingSystemName(os.dwPlatformId, os.dwMajorVersion, os.dwMinorVersion, e.ServicePack);
    e.BuildNumber = os.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? (os.dwBuildNumber & 0xFFFF)
                                                                   : os.dwBuildNumber;
  }
  e.Language = QueryLanguage();
  CachedNetwork(e);
  return e;
}

int LocalTimeZoneHours() {
  SYSTEMTIME local, utc;
  GetLocalTime(&local);
  GetSystemTime(&utc);
  return static_cast<int>(std::lround((FromSystemTime(local) - FromSystemTime(utc)) * 24));
}

TDateTime LocalNow() {
  SYSTEMTIME local;
  GetLocalTime(&local);
  return FromSystemTime(local);
}

std::string FileDescriptionOf(const std::string& path) { return ReadModuleVersion(path).Description; }

std::string FileVersionOf(const std::string& path) { return ReadModuleVersion(path).Version; }

std::vector<std::string> CommandLineParameters() {
  std::vector<std::string> params;
  for (int i = 1; i < __argc; ++i) params.emplace_back(__argv[i]);
  return params;
}

bool IsConsoleProgram() {
  const auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

TWebApplicationFacts QueryWebApplicationFacts(bool webApplicationObject) {
  TWebApplicationFacts f;
  f.ExportsHttpExtensionProc = GetProcAddress(GetModuleHandleA(nullptr), "HttpExtensionProc") != nullptr;
  f.ConsoleProgram = IsConsoleProgram();
  f.RequestMethodVariable = GetEnvironmentVariableA("REQUEST_METHOD", nullptr, 0) > 0;
  f.WebApplicationObject = webApplicationObject;
  // The WinCGI convention: the first parameter names the request profile, the third (or the
  // profile's own entry) the output file.
  const std::vector<std::string> params = CommandLineParameters();
  if (!params.empty() && params[0].find_first_of("*?") == std::string::npos) {
    // The profile functions look for a relative name in the Windows folder: use the full path.
    char full[MAX_PATH + 1];
    DWORD fullLength = GetFullPathNameA(params[0].c_str(), MAX_PATH, full, nullptr);
    const std::string profile = fullLength > 0 && fullLength <= MAX_PATH ? std::string(full, fullLength)
                                                                         : params[0];
    WIN32_FILE_ATTRIBUTE_DATA attr;
    if (GetFileAttributesExA(profile.c_str(), GetFileExInfoStandard, &attr) &&
        !(attr.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && attr.nFileSizeHigh == 0 &&
        attr.nFileSizeLow <= 102400) {
      HANDLE h = CreateFileA(profile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        char method[256] = "", output[MAX_PATH + 1] = "";
        GetPrivateProfileStringA("CGI", "Request Method", "", method, sizeof method, profile.c_str());
        std::string out = params.size() >= 3 ? params[2] : std::string();
        if (out.empty()) {
          GetPrivateProfileStringA("System", "Output File", "", output, sizeof output, profile.c_str());
          out = output;
        }
        f.CgiRequestFile = method[0] != 0 && !out.empty() &&
                           GetFileAttributesA(out.c_str()) != INVALID_FILE_ATTRIBUTES;
      }
    }
  }
  return f;
}

void PrepareReportEnvironment() {
  // Kept loaded for the life of the process (one reference, never given back).
  HMODULE lib = LoadLibraryA("iphlpapi.dll");
  if (!lib) return;
  getAdapters = Procedure<TGetAdaptersInfo>(lib, "GetAdaptersInfo");
  getPerAdapter = Procedure<TGetPerAdapterInfo>(lib, "GetPerAdapterInfo");
  notifyAddrChange = Procedure<TNotifyAddrChange>(lib, "NotifyAddrChange");
  std::lock_guard<std::mutex> guard(networkLock);
  if (!addressChange && notifyAddrChange) {
    addressChange = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WatchAddresses();
  }
}

void RefreshReportEnvironment() { RefreshNetworkFacts(); }
