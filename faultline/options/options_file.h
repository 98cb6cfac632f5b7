#pragma once
// The readable options file kept in the repository for each module (e.g. assets/Tarn_Import.options)
// and turned into the options record by the container build tool.
//
// Format: one "Key=Value" per line (LF or CR LF), optionally after a UTF-8 byte-order mark. Blank
// lines and lines starting with "#" or ";" are ignored. Keys are the option names (MailSender, SendFlags, ...); a key that is absent keeps
// its default. Values:
//   booleans   true / false (also 1 / 0)
//   numbers    decimal, or hexadecimal with 0x (SendFlags=0x41); must fit the field
//   texts      the bytes after "=" as they are, with escapes \r \n \t \\ and \xHH
//   ItemVisibility  a 40-bit number, bit k = bit (k % 8) of byte k / 8 (e.g. 0xFFFFFFFFFF)
//   Texts      Text[0]= .. Text[95]=
//   filter     FilterClass[i]= and FilterText[i]= (i counting from 0, no gaps): together they
//              replace the filter; FilterClear=true alone gives an empty filter
// A key given twice, an unknown key or a value out of range is an error, and so are values that
// delivery could not act on: a MailMode or UploadMode that is none of 0..3, MailServerPort 0, an
// UploadPort over 65535, a MailFallbackDns that is not "host" or "host:port", MailMode 2 or 3
// without a recipient in MailTo (or 2 without a MailServer), a MailSender or MailTo address
// holding "<", ">", a blank or a control character, an UploadMode without an UploadUrl or with one
// whose scheme belongs to another mode (http:// for 1, https:// for 2, ftp:// for 3; an address
// without a scheme is taken as it is).
// Not part of the file: ModulePath, PublishShared, UpdateDepth, HandlingOn.
#include <string>
#include <string_view>

#include "faultline/options/options.h"
#include "rtl/exception.h"

// A line of an options file that cannot be used; the message names the file (when known), the
// line and the option.
class EFaultOptionsFileError : public Exception {
 public:
  using Exception::Exception;
};

// Applies the file's values to `options` (which normally starts from the defaults). fileName
// only goes into error messages ("Options file" when empty).
void ParseOptionsFile(TFaultModuleOptions& options, std::string_view text, std::string_view fileName = {});
// Writes every option (or, with onlyChanged, those that differ from the defaults) in the format
// above, lines ending in LF.
std::string FormatOptionsFile(const TFaultModuleOptions& options, bool onlyChanged);
// Escapes and unescapes a text value.
std::string EscapeOptionText(std::string_view text);
std::string UnescapeOptionText(std::string_view text);  // throws EFaultOptionsFileError
