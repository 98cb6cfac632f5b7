#pragma once
// Fixed records that the report tests build their reports from.
#include <string>

#include "faultline/options/options.h"
#include "faultline/report/report_format.h"
#include "faultline/report/report_records.h"
#include "faultline/report/report_text.h"

inline TReportLayout DefaultLayout() {
  TReportLayout layout;
  layout.Texts = DefaultCustomizedTexts();
  return layout;
}

// A report of one access violation in prog.exe with two threads, two modules and a CPU context.
struct TFixedReport {
  TFaultModuleInfo Exe, Kernel;
  TReportData Data;

  TFixedReport() {
    Exe.Handle = 0x00400000;
    Exe.Path = "C:\\App\\prog.exe";
    Exe.Description = "Demo program";
    Exe.Version = "1.0.0.12";
    Exe.FileSize = 1234567;
    Exe.ModifiedTime = EncodeDateTime(2026, 12, 5, 18, 2, 11);
    Kernel.Handle = 0x7C800000;
    Kernel.Path = "C:\\WINDOWS\\system32\\kernel32.dll";
    Kernel.Description = "Windows NT BASE API Client DLL";
    Kernel.Version = "5.1.2600.5781";
    Kernel.FileSize = 989696;
    Kernel.ModifiedTime = EncodeDateTime(2009, 3, 21, 14, 6, 58);

    TReportData& d = Data;
    d.StartDate = EncodeDateTime(2026, 12, 6, 11, 40, 48);
    d.ApplicationName = "prog.exe";
    d.ApplicationVersion = "1.0.0.12";
    d.Parameters = {"/silent", "C:\\a b.txt"};
    d.CompilationDate = EncodeDateTime(2026, 12, 5, 17, 2, 11);
    d.ExceptionDate = EncodeDateTime(2026, 12, 6, 11, 41, 2);
    d.ExceptionAddress = 0x0044A1F2;
    d.ExceptionModule = "prog.exe";
    d.ExceptionType = "EAccessViolation";
    d.ExceptionMessage = "Access violation at address 0044A1F2. Read of address 00000000";
    d.FormClass = "TForm1";
    d.FormText = "Main\twindow";
    d.ControlClass = "TButton";
    d.ControlText = "Go";
    TReportEnvironment& e = d.Environment;
    e.ComputerName = "PC1";
    e.UserName = "alice";
    e.TotalMemory = 2048ull * 1048576;
    e.FreeMemory = 1023ull * 1048576 + 600000;
    e.DiskKnown = true;
    e.TotalDisk = 107374182400ull;  // 100 Gb
    e.FreeDisk = 13421772800ull;    // 12.5 Gb
    e.UpTimeMs = 93601000;          // 1 day, 2 hours, 0 minute, 1 second
    e.Processor = "Intel(R) Core(TM) i5 CPU";
    e.ScreenWidth = 1024;
    e.ScreenHeight = 768;
    e.BitsPerPixel = 32;
    e.OsName = "Microsoft Windows XP";
    e.BuildNumber = 2600;
    e.ServicePack = "Service Pack 3";
    e.Language = "English";
    e.NetworkKnown = true;
    e.Adapters = {{true, "192.168.1.10", "255.255.255.0", "192.168.1.1", {"192.168.1.1"}}};
    d.TimeZoneHours = 1;

    d.MainThreadId = 1412;
    d.Threads = {{1412, 0x40, 0, false, ""}, {1516, 0x44, 0, true, "TWorker"}};
    TFaultDebugInfo a;
    a.Kind = 4;
    a.Module = &Exe;
    a.ThreadId = 1412;
    a.Running = true;
    a.Address = 0x0044A1F2;
    a.UnitName = "Main.pas";
    a.ClassName = "TForm1";
    a.ProcedureName = "Button1Click";
    a.Line = 112;
    a.LineOffset = 7;
    TFaultDebugInfo b = a;
    b.ThreadId = 1516;
    b.Address = 0x0045B010;
    b.UnitName = "Work.pas";
    b.ClassName = "TWorker";
    b.ProcedureName = "Execute";
    b.Line = 40;
    b.LineOffset = 2;
    d.Stack = {a, b};
    d.Modules = {Exe, Kernel};

    TCpuSnapshot& c = d.Cpu;
    c.HasContext = true;
    c.Eax = 0x00000000;
    c.Ebx = 0x00B2F3A0;
    c.Ecx = 0x0012FF10;
    c.Edx = 0x7C90E514;
    c.Edi = 0x0012F5C4;
    c.Esi = 0x00B2E0D8;
    c.Esp = 0x0012F4D0;
    c.Eip = 0x0044A1F2;
    c.StackReadable = true;
    for (int i = 0; i < 64; ++i) c.Stack[i] = static_cast<uint8_t>(i * 7);
    c.DumpAddress = 0x0044A1F2;
    c.DumpReadable = true;
    for (int i = 0; i < 256; ++i) c.Dump[i] = static_cast<uint8_t>(i);
  }
};

// The same report from a 64-bit program: modules, code and stack above 4 GB, a 64-bit context
// and a stack of 8-byte words.
struct TFixedReport64 : TFixedReport {
  TFixedReport64() {
    Exe.Handle = 0x0000000140000000;
    Kernel.Handle = 0x00007FF8A1B20000;
    TReportData& d = Data;
    d.WideAddresses = true;
    d.Modules = {Exe, Kernel};
    d.ExceptionAddress = 0x0000000140001A2F;
    d.ExceptionMessage = "Access violation at address 0000000140001A2F. Read of address 0000000000000000";
    d.Stack[0].Address = 0x0000000140001A2F;
    d.Stack[1].Address = 0x0000000140002B10;

    TCpuSnapshot& c = d.Cpu;
    c = TCpuSnapshot();
    c.HasContext = true;
    c.Wide = true;
    c.Rax = 0;
    c.Rbx = 0x000000000069F3A0;
    c.Rcx = 0x00007FF8A1B2C0DE;
    c.Rdx = 0x0000000000000001;
    c.Rsi = 0x000000000069E0D8;
    c.Rdi = 0x000000000022F5C4;
    c.Rbp = 0x000000000022FDA0;
    c.Rsp = 0x000000000022FD40;
    c.R8 = 0x8000000000000008;
    c.R9 = 9;
    c.R10 = 0x10;
    c.R11 = 0x0000000000000246;
    c.R12 = 0xFEDCBA9876543210;
    c.R13 = 13;
    c.R14 = 14;
    c.R15 = 0xFFFFFFFFFFFFFFFF;
    c.Rip = 0x0000000140001A2F;
    c.EFlags = 0x00010246;
    c.SegCs = 0x33;
    c.SegDs = 0x2B;
    c.SegEs = 0x2B;
    c.SegFs = 0x53;
    c.SegGs = 0x2B;
    c.SegSs = 0x2B;
    c.StackReadable = true;
    for (int i = 0; i < 128; ++i) c.Stack[i] = static_cast<uint8_t>(i * 7);
    c.DumpAddress = 0x0000000140001A2F;
    c.DumpReadable = true;
    for (int i = 0; i < 256; ++i) c.Dump[i] = static_cast<uint8_t>(i);
  }
};
