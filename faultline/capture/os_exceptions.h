#pragma once
// The exception classes that operating-system exceptions of the program's own code become: an
// access violation is thrown as an EAccessViolation at the faulting instruction, and any catch of
// the program (or the application object's handler) receives it like any other exception.
#include <cstdint>
#include <string>

#include "rtl/exception.h"

class EExternal : public Exception {
 public:
  EExternal(std::string message, uint32_t code) : Exception(std::move(message)), code_(code) {}
  uint32_t Code() const { return code_; }

 private:
  uint32_t code_;
};

class EExternalException : public EExternal {
 public:
  using EExternal::EExternal;
};

class EAccessViolation : public EExternal {
 public:
  explicit EAccessViolation(std::string message) : EExternal(std::move(message), 0xC0000005u) {}
};

class EDivByZero : public EExternal {
 public:
  explicit EDivByZero(std::string message) : EExternal(std::move(message), 0xC0000094u) {}
};

class EIntOverflow : public EExternal {
 public:
  explicit EIntOverflow(std::string message) : EExternal(std::move(message), 0xC0000095u) {}
};

class EPrivilege : public EExternal {
 public:
  explicit EPrivilege(std::string message) : EExternal(std::move(message), 0xC0000096u) {}
};

// GCC's own exception codes, which carry C++ throws and their unwinding through the system's
// exception dispatch in 64-bit code: never an operating-system fault of the program.
bool IsGccExceptionCode(uint32_t code);
