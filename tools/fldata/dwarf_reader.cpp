#include "tools/fldata/dwarf_reader.h"

#include <libdwarf/dwarf.h>
#include <libdwarf/libdwarf.h>

#include <unordered_map>

namespace {

struct TDieRecord {
  std::string Name;
  std::string Scope;
  int32_t DeclLine = 0;
  Dwarf_Off DeclaredAt = 0;  // DW_AT_specification or DW_AT_abstract_origin
  std::vector<std::pair<Dwarf_Addr, Dwarf_Addr>> Ranges;  // [low, high)
};

std::string BaseName(const char* path) {
  std::string p(path ? path : "");
  size_t cut = p.find_last_of("/\\");
  return cut == std::string::npos ? p : p.substr(cut + 1);
}

class TDwarfWalker {
 public:
  explicit TDwarfWalker(Dwarf_Debug dbg) : dbg_(dbg) {}

  // The unit being walked: its DWARF version and base address (for version 4 range lists).
  void SetUnit(Dwarf_Half version, Dwarf_Addr base) {
    version_ = version;
    unitBase_ = base;
  }

  std::unordered_map<Dwarf_Off, TDieRecord> Subprograms;

  void Walk(Dwarf_Die die, const std::string& scope, int depth) {
    if (depth > 64) return;
    Dwarf_Die child = nullptr;
    if (dwarf_child(die, &child, &err_) != DW_DLV_OK) return;
    for (;;) {
      Visit(child, scope, depth);
      Dwarf_Die sibling = nullptr;
      int rc = dwarf_siblingof_b(dbg_, child, true, &sibling, &err_);
      dwarf_dealloc_die(child);
      if (rc != DW_DLV_OK) break;
      child = sibling;
    }
  }

 private:
  std::string Name(Dwarf_Die die) {
    char* name = nullptr;
    if (dwarf_diename(die, &name, &err_) != DW_DLV_OK || !name) return {};
    return name;  // libdwarf strings point into the string sections; nothing to free
  }

  Dwarf_Off Ref(Dwarf_Die die, Dwarf_Half attrNum) {
    Dwarf_Attribute attr = nullptr;
    if (dwarf_attr(die, attrNum, &attr, &err_) != DW_DLV_OK) return 0;
    Dwarf_Off off = 0;
    if (dwarf_global_formref(attr, &off, &err_) != DW_DLV_OK) off = 0;
    dwarf_dealloc_attribute(attr);
    return off;
  }

  Dwarf_Unsigned Unsigned(Dwarf_Die die, Dwarf_Half attrNum) {
    Dwarf_Attribute attr = nullptr;
    if (dwarf_attr(die, attrNum, &attr, &err_) != DW_DLV_OK) return 0;
    Dwarf_Unsigned v = 0;
    if (dwarf_formudata(attr, &v, &err_) != DW_DLV_OK) v = 0;
    dwarf_dealloc_attribute(attr);
    return v;
  }

  void Visit(Dwarf_Die die, const std::string& scope, int depth) {
    Dwarf_Half tag = 0;
    if (dwarf_tag(die, &tag, &err_) != DW_DLV_OK) return;
    switch (tag) {
      case DW_TAG_namespace:
      case DW_TAG_class_type:
      case DW_TAG_structure_type:
      case DW_TAG_union_type: {
        std::string name = Name(die);
        if (name.empty()) name = tag == DW_TAG_namespace ? "(anonymous namespace)" : "{unnamed type}";
        Walk(die, scope.empty() ? name : scope + "::" + name, depth + 1);
        break;
      }
      case DW_TAG_subprogram: {
        Dwarf_Off off = 0;
        if (dwarf_dieoffset(die, &off, &err_) != DW_DLV_OK) return;
        TDieRecord r;
        r.Name = Name(die);
        r.Scope = scope;
        r.DeclLine = int32_t(Unsigned(die, DW_AT_decl_line));
        r.DeclaredAt = Ref(die, DW_AT_specification);
        if (!r.DeclaredAt) r.DeclaredAt = Ref(die, DW_AT_abstract_origin);
        Dwarf_Addr low = 0, high = 0;
        Dwarf_Half form = 0;
        enum Dwarf_Form_Class formClass = DW_FORM_CLASS_UNKNOWN;
        if (dwarf_lowpc(die, &low, &err_) == DW_DLV_OK &&
            dwarf_highpc_b(die, &high, &form, &formClass, &err_) == DW_DLV_OK) {
          if (formClass == DW_FORM_CLASS_CONSTANT) high += low;
          if (high > low) r.Ranges.emplace_back(low, high);
        } else {
          // Optimised code splits a procedure into a hot and a cold part: a range list.
          ReadRanges(die, r.Ranges);
        }
        std::string inner = r.Name.empty() ? scope : (scope.empty() ? r.Name : scope + "::" + r.Name);
        Subprograms[off] = std::move(r);
        Walk(die, inner, depth + 1);  // local classes and lambdas
        break;
      }
      case DW_TAG_lexical_block:
        Walk(die, scope, depth + 1);
        break;
      default:
        break;
    }
  }

  void ReadRanges(Dwarf_Die die, std::vector<std::pair<Dwarf_Addr, Dwarf_Addr>>& ranges) {
    Dwarf_Attribute attr = nullptr;
    if (dwarf_attr(die, DW_AT_ranges, &attr, &err_) != DW_DLV_OK) return;
    Dwarf_Half form = 0;
    dwarf_whatform(attr, &form, &err_);
    if (version_ >= 5) {
      Dwarf_Unsigned value = 0;
      if (form == DW_FORM_rnglistx) {
        dwarf_formudata(attr, &value, &err_);
      } else {
        Dwarf_Off off = 0;
        dwarf_global_formref(attr, &off, &err_);
        value = off;
      }
      Dwarf_Rnglists_Head head = nullptr;
      Dwarf_Unsigned count = 0, global = 0;
      if (dwarf_rnglists_get_rle_head(attr, form, value, &head, &count, &global, &err_) == DW_DLV_OK) {
        for (Dwarf_Unsigned i = 0; i < count; ++i) {
          unsigned length = 0, kind = 0;
          Dwarf_Unsigned raw1 = 0, raw2 = 0, low = 0, high = 0;
          Dwarf_Bool unavailable = false;
          if (dwarf_get_rnglists_entry_fields_a(head, i, &length, &kind, &raw1, &raw2, &unavailable, &low, &high,
                                                &err_) != DW_DLV_OK)
            break;
          if (kind == DW_RLE_end_of_list) break;
          if (kind == DW_RLE_base_address || kind == DW_RLE_base_addressx || unavailable) continue;
          if (high > low) ranges.emplace_back(low, high);
        }
        dwarf_dealloc_rnglists_head(head);
      }
    } else {
      Dwarf_Off off = 0, real = 0;
      if (dwarf_global_formref(attr, &off, &err_) == DW_DLV_OK) {
        Dwarf_Ranges* list = nullptr;
        Dwarf_Signed count = 0;
        Dwarf_Unsigned bytes = 0;
        if (dwarf_get_ranges_b(dbg_, off, die, &real, &list, &count, &bytes, &err_) == DW_DLV_OK) {
          Dwarf_Addr base = unitBase_;
          for (Dwarf_Signed i = 0; i < count; ++i) {
            if (list[i].dwr_type == DW_RANGES_END) break;
            if (list[i].dwr_type == DW_RANGES_ADDRESS_SELECTION) {
              base = list[i].dwr_addr2;
              continue;
            }
            if (list[i].dwr_addr2 > list[i].dwr_addr1)
              ranges.emplace_back(base + list[i].dwr_addr1, base + list[i].dwr_addr2);
          }
          dwarf_ranges_dealloc(dbg_, list, count);
        }
      }
    }
    dwarf_dealloc_attribute(attr);
  }

  Dwarf_Debug dbg_;
  Dwarf_Error err_ = nullptr;
  Dwarf_Half version_ = 5;
  Dwarf_Addr unitBase_ = 0;
};

void ReadLines(Dwarf_Debug dbg, Dwarf_Die cu, uint64_t imageBase, uint32_t codeLow, uint32_t codeHigh,
               std::vector<TDebugSourceRow>& rows) {
  Dwarf_Error err = nullptr;
  Dwarf_Unsigned version = 0;
  Dwarf_Small tableCount = 0;
  Dwarf_Line_Context context = nullptr;
  if (dwarf_srclines_b(cu, &version, &tableCount, &context, &err) != DW_DLV_OK) return;
  Dwarf_Line* lines = nullptr;
  Dwarf_Signed count = 0;
  if (dwarf_srclines_from_linecontext(context, &lines, &count, &err) == DW_DLV_OK) {
    std::vector<TDebugSourceRow> sequence;
    bool sequenceInCode = true;
    for (Dwarf_Signed i = 0; i < count; ++i) {
      Dwarf_Addr addr = 0;
      Dwarf_Unsigned line = 0;
      Dwarf_Bool end = false;
      char* file = nullptr;
      dwarf_lineaddr(lines[i], &addr, &err);
      dwarf_lineno(lines[i], &line, &err);
      dwarf_lineendsequence(lines[i], &end, &err);
      TDebugSourceRow row;
      int64_t offset = int64_t(addr) - int64_t(imageBase) - 4096;
      // The linker leaves the line rows of discarded duplicate code at address 0: drop every
      // sequence that does not lie in the code.
      if (offset < int64_t(codeLow) || offset > int64_t(codeHigh)) sequenceInCode = false;
      row.Offset = uint32_t(offset);
      row.Line = int32_t(line);
      row.EndSequence = end;
      if (!end && dwarf_linesrc(lines[i], &file, &err) == DW_DLV_OK) {
        row.File = BaseName(file);
        dwarf_dealloc(dbg, file, DW_DLA_STRING);
      }
      sequence.push_back(std::move(row));
      if (end) {
        if (sequenceInCode) rows.insert(rows.end(), sequence.begin(), sequence.end());
        sequence.clear();
        sequenceInCode = true;
      }
    }
  }
  dwarf_srclines_dealloc_b(context);
}

}  // namespace

TModuleDebugData ReadModuleDwarf(const std::string& path, uint64_t imageBase, uint32_t codeLow, uint32_t codeHigh) {
  Dwarf_Debug dbg = nullptr;
  Dwarf_Error err = nullptr;
  int rc = dwarf_init_path(path.c_str(), nullptr, 0, DW_DLC_READ, DW_GROUPNUMBER_ANY, nullptr, nullptr, &dbg, nullptr,
                           0, nullptr, &err);
  if (rc == DW_DLV_NO_ENTRY) return {};  // no debug information at all
  if (rc != DW_DLV_OK) throw EDwarfError("cannot read the debug information of " + path);

  TModuleDebugData out;
  TDwarfWalker walker(dbg);
  for (;;) {
    Dwarf_Unsigned headerLength = 0, typeOffset = 0, next = 0;
    Dwarf_Half version = 0, addressSize = 0, lengthSize = 0, extensionSize = 0, unitType = 0;
    Dwarf_Off abbrevOffset = 0;
    Dwarf_Sig8 signature;
    rc = dwarf_next_cu_header_d(dbg, true, &headerLength, &version, &abbrevOffset, &addressSize, &lengthSize,
                                &extensionSize, &signature, &typeOffset, &next, &unitType, &err);
    if (rc != DW_DLV_OK) break;
    Dwarf_Die cu = nullptr;
    if (dwarf_siblingof_b(dbg, nullptr, true, &cu, &err) != DW_DLV_OK) continue;
    ReadLines(dbg, cu, imageBase, codeLow, codeHigh, out.Rows);
    Dwarf_Addr unitBase = 0;
    if (dwarf_lowpc(cu, &unitBase, &err) != DW_DLV_OK) unitBase = 0;
    walker.SetUnit(version, unitBase);
    walker.Walk(cu, "", 0);
    dwarf_dealloc_die(cu);
  }
  dwarf_finish(dbg, &err);

  for (const auto& [off, r] : walker.Subprograms) {
    if (r.Ranges.empty()) continue;
    // The name and scope come from the declaration the definition refers to (the member
    // declaration inside its class), following at most a few links.
    const TDieRecord* named = r.Name.empty() ? nullptr : &r;
    const TDieRecord* link = &r;
    for (int hop = 0; hop < 4 && link->DeclaredAt; ++hop) {
      auto it = walker.Subprograms.find(link->DeclaredAt);
      if (it == walker.Subprograms.end()) break;
      link = &it->second;
      if (!link->Name.empty()) named = link;
    }
    if (!named) continue;
    for (auto [rangeLow, rangeHigh] : r.Ranges) {
      int64_t low = int64_t(rangeLow) - int64_t(imageBase) - 4096, high = int64_t(rangeHigh) - int64_t(imageBase) - 4096;
      if (low < int64_t(codeLow) || high > int64_t(codeHigh)) continue;
      out.Procedures.push_back({uint32_t(low), uint32_t(high), named->Scope, named->Name, r.DeclLine});
    }
  }
  return out;
}
