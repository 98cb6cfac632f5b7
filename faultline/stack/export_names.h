#pragma once
// Naming an address by the module's exports: the export whose range holds it, and what its name
// tells (procedure, and where the name is qualified, unit and class).
#include <cstdint>
#include <string>

#include "faultline/lists/function_list.h"
#include "faultline/stack/stack_entry.h"

// The export whose range [Address, Address + Size] holds address, by a binary search over the
// list sorted by address; null when the search meets none.
const TFaultFunctionInfo* FindExport(const TFaultFunctionsList& functions, uint32_t address);

// Fills unit, class and procedure of entry from an export name and raises its kind to
// EntryExport or EntryQualified where the name allows:
// - "Unit.Proc" and "Unit.Class.Proc" (cut at a first "@"): unit "Unit.pas", kind 3;
// - a plain name: the procedure, kind 2;
// - "?..." names are left alone (kind unchanged);
// - "@Unit@Class@Proc$qqrv"-style names: cut at "$", "@@" becomes "@_", the "@"s become "."s,
//   then as above;
// - C++ names ("_Z..."): demangled; the procedure and, when it has one, the class (the scope it
//   was declared in), kind 3 with a class and kind 2 without; no unit is known.
// A procedure name that starts with "@" gets "_" instead.
void ParseExportName(const std::string& name, TFaultDebugInfo& entry);

// "ns::TClass::Method" and "Method" parts of a demangled C++ name without its parameter list,
// return type and template arguments of the function itself; false when name is not a mangled
// C++ name.
bool DemangledParts(const std::string& name, std::string& scope, std::string& procedure);
