#pragma once
// Call stacks of the running process: naming an address (debug information, else exports, else the
// module), scanning the current thread's stack, another thread's from its register context, and a
// stored creation stack; the framework's procedures by symbol id. Windows only.
#ifdef _WIN32
#include <windows.h>

#include <memory>
#include <string>

#include "faultline/stack/cpu_snapshot.h"
#include "faultline/stack/stack_scan.h"

// The module, unit, class, procedure and line of address: full debug information (kind 4) when
// the module carries it, else its exports (kinds 2, 3), else only the module (1); kind 0 outside
// every module. Modules found by address are registered in the module list on demand.
TFaultDebugInfo ResolveAddress(uint64_t address, uint32_t threadId, bool running);

// A stack list filled by one scan of the process's memory.
std::unique_ptr<TFaultStackList> NewStackList(const TStackScan& scan);
// The calling thread's stack, from the caller of this function on (start address: none).
std::unique_ptr<TFaultStackList> CurrentThreadStack(TKindSet kinds = AllKinds);
// Another thread's stack from its register context (read while it is suspended) and its stack
// top: the instruction pointer first, then the words from the stack pointer up. 64-bit code is
// first walked exactly with the modules' unwind data, as far as it reaches.
std::unique_ptr<TFaultStackList> ThreadContextStack(const CONTEXT& context, uint64_t stackTop, uint32_t threadId,
                                                    TKindSet kinds = AllKinds);
// Appends the entries of a copied stack whose first byte stood at `origin`: its words come from
// the copy, the code they point at from the process. From `scan` only the start address, the
// kinds, the running flag and the thread are used.
void ScanStackCopy(TFaultStackList& list, const void* copy, uint32_t size, uint64_t origin, const TStackScan& scan);
// A stored creation stack (the copy a thread record keeps of its creator's stack), scanned as
// not running.
std::unique_ptr<TFaultStackList> CopiedStack(const void* copy, uint32_t size, uint32_t threadId,
                                             TKindSet kinds = AllKinds);

// The file name of the development environment's executable; a process of that name is the
// environment itself (its stacks keep only named entries). Empty: no process is.
void SetDevelopmentEnvironmentExecutable(std::string fileName);
bool IsDevelopmentEnvironment();

// The absolute address of a framework procedure from the running module's symbol table; null
// when the table has no such id.
void* SymbolAddress(uint8_t symbolId);
// The same, falling back to the procedure exported by moduleName when the table has no such id.
void* SymbolAddress(uint8_t symbolId, const std::string& moduleName, const std::string& procName);
// Finds the procedure as above and hooks it (the hook errors name it "SymbolID = <id>"); returns
// the trampoline, or null when the procedure is not present (nothing is hooked then).
void* HookSymbol(uint8_t symbolId, void* replacement, const std::string& moduleName = {},
                 const std::string& procName = {});

// The registers of a context and the memory the report shows with them: 64 bytes at ESP (128 at
// RSP) and 256 bytes at dumpAddress, each only when readable.
TCpuSnapshot ReadCpuSnapshot(const CONTEXT& context, uint64_t dumpAddress);
#endif
