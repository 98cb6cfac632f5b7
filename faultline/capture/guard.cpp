#include "faultline/capture/guard.h"

std::string CriticalErrorMessage(const std::string& runnerName, const std::string* exceptionMessage) {
  std::string text = "Critical error at: \"" + runnerName + "\"\r\nError: \"";
  text += exceptionMessage ? *exceptionMessage : std::string("General internal error.");
  text += "\".";
  return text;
}

void TRecentErrors::Add(double when, int32_t crashCount) {
  times_.push_back(when);
  while (crashCount >= 0 && times_.size() > static_cast<size_t>(crashCount)) times_.pop_front();
}

bool TRecentErrors::CrashRuleMet(int32_t crashCount, int32_t crashMinutes) const {
  if (crashCount <= 0 || times_.size() != static_cast<size_t>(crashCount)) return false;
  return times_.back() - times_.front() <= crashMinutes / 1440.0;
}

TWaitMessage ClassifyWaitMessage(uint32_t message) {
  constexpr uint32_t quit = 0x0012;
  if (message == quit) return TWaitMessage::KeepQuit;
  const bool nonClientMouse = message >= 0xA1 && message <= 0xA9;
  const bool keys = (message >= 0x100 && message <= 0x102) || (message >= 0x104 && message <= 0x106);
  const bool clientMouseButtons = message >= 0x201 && message <= 0x209;
  return nonClientMouse || keys || clientMouseButtons ? TWaitMessage::DropWithBeep : TWaitMessage::Dispatch;
}
