// Writing and reading the options container (resource and trailer forms), the password check,
// the load of a module's container into its options, and the shared block payload.
#include "faultline/options/container.h"

#include <zlib.h>

#include <cstring>
#include <memory>

#include "faultline/codecs/codecs.h"

namespace {

// The largest inflated block we accept: far above any real module's debug information, low
// enough that a hostile container cannot exhaust memory.
constexpr size_t MaxInflatedSize = size_t{64} << 20;

std::string Deflate(std::string_view data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::string out(size, '\0');
  int rc = compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                     reinterpret_cast<const Bytef*>(data.data()), static_cast<uLong>(data.size()),
                     Z_BEST_COMPRESSION);
  if (rc != Z_OK) throw EFaultContainerError("Cannot compress container data (zlib " +
                                             std::to_string(rc) + ").");
  out.resize(size);
  return out;
}

// Inflates one zlib stream that must end within `data`.
std::string Inflate(std::string_view data, const char* what) {
  std::string out;
  if (data.empty()) return out;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw EFaultContainerError("Cannot start zlib inflation.");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  char chunk[16384];
  int rc;
  do {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    out.append(chunk, sizeof chunk - z.avail_out);
    if (out.size() > MaxInflatedSize) {
      inflateEnd(&z);
      throw EFaultContainerError(std::string("Container ") + what + " inflates beyond " +
                                 std::to_string(MaxInflatedSize) + " bytes.");
    }
  } while (rc != Z_STREAM_END);
  inflateEnd(&z);
  if (rc != Z_STREAM_END) {
    throw EFaultContainerError(std::string("Container ") + what + " is damaged: " +
                               (rc == Z_BUF_ERROR ? "the zlib stream is truncated"
                                                  : "zlib error " + std::to_string(rc)) + ".");
  }
  return out;
}

// Reads N and N bytes of debug information.
std::string ReadDebugBlock(TFaultRecordReader& r) {
  uint32_t n = r.ReadUInt32();
  if (n > r.Remaining())
    throw EFaultContainerError("Container debug information damaged: " + std::to_string(n) +
                               " byte(s) announced, " + std::to_string(r.Remaining()) + " present.");
  return std::string(r.ReadBytes(n));
}

// Older layouts store the options record without a length: measure it by reading it.
std::string TakeOptionsRecord(TFaultRecordReader& r, uint16_t version) {
  std::string_view rest = r.Rest();
  size_t used = LoadOptionsRecord(*std::make_unique<TFaultModuleOptions>("", false), rest, version);
  r.Skip(used);
  return std::string(rest.substr(0, used));
}

// Options record followed by N and the debug information (older resource layouts, trailer).
void ReadRecordAndDebug(TFaultContainer& c, std::string_view bytes, TContainerReadMode mode) {
  TFaultRecordReader r(bytes);
  c.OptionsRecord = TakeOptionsRecord(r, c.Version);
  c.HasOptions = true;
  if (mode == TContainerReadMode::Full) {
    c.DebugInfo = ReadDebugBlock(r);
    c.HasDebugInfo = true;
  }
}

std::string UInt32Bytes(uint32_t v) {
  std::string s;
  WriteUInt32(s, v);
  return s;
}

}  // namespace

std::string SaveOptionsRecord(const TFaultModuleOptions& options) {
  std::string record;
  options.SaveToStream(record);
  return record;
}

size_t LoadOptionsRecord(TFaultModuleOptions& options, std::string_view record, uint16_t version) {
  TFaultRecordReader reader(record);
  options.LoadFromStream(reader, version);
  return reader.Position();
}

// --- resource form ---------------------------------------------------------------------------

std::string WriteContainer(const TFaultContainer& c) {
  std::string out;
  WriteUInt32(out, FaultContainerMagic);
  WriteUInt16(out, c.Version);
  WriteDouble(out, c.BuildTime);
  WriteUInt32(out, static_cast<uint32_t>(c.Symbols.size() * 9));
  for (const TFaultSymbol& s : c.Symbols) {
    WriteByte(out, s.Id);
    WriteUInt32(out, s.Offset);
    WriteUInt32(out, s.Size);
  }
  std::string options = Deflate(c.OptionsRecord);
  WriteUInt32(out, static_cast<uint32_t>(options.size()));
  out += options;
  WriteUInt32(out, c.PasswordCheck);
  std::string debug;
  WriteUInt32(debug, static_cast<uint32_t>(c.DebugInfo.size()));
  debug += c.DebugInfo;
  out += Deflate(debug);
  return out;
}

bool IsContainer(std::string_view resource) {
  return resource.size() >= 4 && resource.substr(0, 4) == UInt32Bytes(FaultContainerMagic);
}

std::optional<TFaultContainer> ReadContainer(std::string_view resource, TContainerReadMode mode) {
  if (!IsContainer(resource))
    throw EFaultContainerError("Not an options container: the magic number is missing.");
  TFaultRecordReader r(resource);
  r.Skip(4);
  TFaultContainer c;
  c.Version = r.ReadUInt16();
  if (c.Version > FaultContainerVersion) return std::nullopt;
  c.BuildTime = r.ReadDouble();

  if (c.Version < 450) {
    ReadRecordAndDebug(c, r.Rest(), mode);
    return c;
  }
  if (c.Version < 500) {
    std::string inflated = Inflate(r.Rest(), "data");
    if (!inflated.empty()) ReadRecordAndDebug(c, inflated, mode);
    return c;
  }

  uint32_t symbolBytes = r.ReadUInt32();
  if (symbolBytes % 9 != 0)
    throw EFaultContainerError("Container symbol table damaged: " + std::to_string(symbolBytes) +
                               " bytes is not a whole number of entries.");
  TFaultRecordReader symbols(r.ReadBytes(symbolBytes));
  while (symbols.Remaining() > 0) {
    TFaultSymbol s;
    s.Id = symbols.ReadByte();
    s.Offset = symbols.ReadUInt32();
    s.Size = symbols.ReadUInt32();
    c.Symbols.push_back(s);
  }
  uint32_t optionsBytes = r.ReadUInt32();
  c.OptionsRecord = Inflate(r.ReadBytes(optionsBytes), "options");
  if (c.OptionsRecord.empty()) return c;  // nothing inflated: the load stops here
  c.HasOptions = true;
  c.PasswordCheck = r.ReadUInt32();
  if (mode == TContainerReadMode::Light) return c;
  std::string debug = Inflate(r.Rest(), "debug information");
  if (debug.empty()) return c;
  TFaultRecordReader d(debug);
  c.DebugInfo = ReadDebugBlock(d);
  c.HasDebugInfo = true;
  return c;
}

// --- trailer form ----------------------------------------------------------------------------

std::string ContainerTrailer(const TFaultContainer& c) {
  std::string body;
  WriteUInt16(body, c.Version);
  WriteDouble(body, c.BuildTime);
  body += c.OptionsRecord;
  WriteUInt32(body, static_cast<uint32_t>(c.DebugInfo.size()));
  body += c.DebugInfo;
  std::string out = body;
  WriteUInt32(out, static_cast<uint32_t>(body.size()));
  WriteUInt32(out, FaultContainerMagic);
  return out;
}

std::string AppendContainerTrailer(std::string_view moduleBytes, const TFaultContainer& c) {
  return std::string(moduleBytes) + ContainerTrailer(c);
}

std::optional<uint32_t> TrailerBodySize(std::string_view last8) {
  if (last8.size() < 8) return std::nullopt;
  last8 = last8.substr(last8.size() - 8);
  if (!IsContainer(last8.substr(4))) return std::nullopt;
  return TFaultRecordReader(last8).ReadUInt32();
}

bool HasContainerTrailer(std::string_view fileBytes) {
  return fileBytes.size() >= 4 && IsContainer(fileBytes.substr(fileBytes.size() - 4));
}

std::optional<TFaultContainer> ReadContainerTrailerBody(std::string_view body,
                                                        TContainerReadMode mode) {
  TFaultRecordReader r(body);
  TFaultContainer c;
  c.Version = r.ReadUInt16();
  if (c.Version > FaultContainerVersion) return std::nullopt;
  c.BuildTime = r.ReadDouble();
  ReadRecordAndDebug(c, r.Rest(), mode);
  return c;
}

std::optional<TFaultContainer> FindContainerTrailer(std::string_view fileBytes,
                                                    TContainerReadMode mode) {
  if (!HasContainerTrailer(fileBytes)) return std::nullopt;
  std::optional<uint32_t> size = TrailerBodySize(fileBytes);
  if (!size)
    throw EFaultContainerError("Container trailer damaged: the file is too short for its size word.");
  if (*size > fileBytes.size() - 8)
    throw EFaultContainerError("Container trailer damaged: " + std::to_string(*size) +
                               " bytes announced in a file of " +
                               std::to_string(fileBytes.size()) + ".");
  return ReadContainerTrailerBody(fileBytes.substr(fileBytes.size() - 8 - *size, *size), mode);
}

// --- password check --------------------------------------------------------------------------

// Four bytes are shorter than a cipher block, so deciphering XORs them with the key stream and
// enciphering is the very same operation.
uint32_t MakePasswordCheck(std::string_view password) {
  CipherSetKey(password);
  std::string bytes = UInt32Bytes(FaultContainerMagic);
  CipherDecrypt(bytes.data(), bytes.size());
  return TFaultRecordReader(bytes).ReadUInt32();
}

bool PasswordMatches(uint32_t passwordCheck, std::string_view password) {
  CipherSetKey(password);
  std::string bytes = UInt32Bytes(passwordCheck);
  CipherDecrypt(bytes.data(), bytes.size());
  return TFaultRecordReader(bytes).ReadUInt32() == FaultContainerMagic;
}

// --- loading into a module record ------------------------------------------------------------

namespace {

void CheckPassword(const TFaultContainer& c, TFaultContainerLoad& out,
                   const TFaultContainerSources& sources) {
  const TFaultPasswordSources& p = sources.Passwords;
  std::string password = out.DebugPassword;
  if (p.FromModule) {
    if (std::optional<std::string> given = p.FromModule(p.Context, password)) password = *given;
  }
  bool accepted = PasswordMatches(c.PasswordCheck, password);
  if (!accepted && !sources.RunningModule && p.FromHandlers) {
    if (std::optional<std::string> given = p.FromHandlers(p.Context, password)) {
      password = *given;
      accepted = PasswordMatches(c.PasswordCheck, password);
    }
  }
  out.DebugPassword = password;
  out.PasswordAccepted = accepted;
}

}  // namespace

void LoadModuleContainer(TFaultModuleOptions& options, TFaultContainerLoad& out,
                         const TFaultContainerSources& sources) {
  std::optional<TFaultContainer> c;
  bool present = false;
  if (sources.Resource && IsContainer(*sources.Resource)) {
    present = true;
    c = ReadContainer(*sources.Resource, sources.Mode);
  } else if (sources.Trailer) {
    present = true;
    c = ReadContainerTrailerBody(*sources.Trailer, sources.Mode);
  }
  if (!present) {
    out.Version = FaultContainerVersion;
    out.BuildTime = 0;
    out.DebugInfo.reset();
    return;
  }
  if (!c) return;  // written by a newer build: ignored as a whole

  out.Version = c->Version;
  out.BuildTime = c->BuildTime;
  out.DebugInfo.reset();
  if (c->HasOptions) {
    LoadOptionsRecord(options, c->OptionsRecord, c->Version);
    bool resourceForm = sources.Resource && IsContainer(*sources.Resource);
    if (resourceForm && c->Version >= 500 && sources.Mode == TContainerReadMode::Full)
      CheckPassword(*c, out, sources);
    if (c->HasDebugInfo) out.DebugInfo = std::move(c->DebugInfo);
  }
  // A block that inflated to nothing ends the load where it stands.
  bool stopped = !c->HasOptions || (sources.Mode == TContainerReadMode::Full && !c->HasDebugInfo);
  if (!stopped && !sources.RunningModule && sources.SharedPayload)
    LoadSharedBlockPayload(options, *sources.SharedPayload);
}

// --- shared block payload --------------------------------------------------------------------

std::string SharedBlockPayload(const TFaultModuleOptions* options) {
  std::string payload(1, options ? '\1' : '\0');
  if (options) payload += SaveOptionsRecord(*options);
  return payload;
}

bool LoadSharedBlockPayload(TFaultModuleOptions& options, std::string_view payload) {
  if (payload.empty() || payload[0] == 0) return false;
  LoadOptionsRecord(options, payload.substr(1), FaultContainerVersion);
  return true;
}
