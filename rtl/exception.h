#pragma once
// Base of the program's own exception classes. Errors are exceptions; what() is the message.
#include <exception>
#include <string>
#include <utility>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }

 private:
  std::string message_;
};
