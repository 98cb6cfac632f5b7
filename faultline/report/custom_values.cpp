#include "faultline/report/custom_values.h"

#include <atomic>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

using TValues = std::map<std::string, std::string>;

// The values are replaced whole (copy, change, swap), so that a reader holds the guard only for
// the time of copying one pointer: a thread held inside that never allocates nor waits, and a
// reader that cannot get the guard gives up instead of waiting for it.
std::atomic<bool> guard{false};
std::shared_ptr<const TValues> current = std::make_shared<const TValues>();

bool TryTake() { return !guard.exchange(true, std::memory_order_acquire); }
void Give() { guard.store(false, std::memory_order_release); }

std::shared_ptr<const TValues> Current() {
  while (!TryTake()) std::this_thread::yield();
  std::shared_ptr<const TValues> values = current;
  Give();
  return values;
}

// Replaces the values with change applied to a copy, unless another writer came first (then
// again, from its values).
template <class F>
void Change(F&& change) {
  for (;;) {
    std::shared_ptr<const TValues> before = Current();
    auto after = std::make_shared<TValues>(*before);
    change(*after);
    std::shared_ptr<const TValues> replacement = std::move(after);
    while (!TryTake()) std::this_thread::yield();
    const bool same = current == before;
    if (same) current.swap(replacement);
    Give();
    if (same) return;  // the old values go with `replacement`, outside the guard
  }
}

bool NameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

}  // namespace

void SetCustomValue(const std::string& name, const std::string& value) {
  if (name.empty() || name.size() > 64)
    throw std::invalid_argument("custom value: a name has 1 to 64 characters, \"" + name + "\" has " +
                                std::to_string(name.size()));
  for (char c : name)
    if (!NameCharacter(c))
      throw std::invalid_argument("custom value: the name \"" + name + "\" may hold only letters, digits and ._-");
  if (value.size() > 4096)
    throw std::invalid_argument("custom value: the value of \"" + name + "\" is longer than 4096 bytes");
  std::string clean = value;
  for (char& c : clean)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  Change([&](TValues& values) {
    if (clean.empty()) values.erase(name);
    else values[name] = clean;
  });
}

void ClearCustomValues() {
  Change([](TValues& values) { values.clear(); });
}

std::vector<std::pair<std::string, std::string>> CustomValuesForReport(bool* complete) {
  std::shared_ptr<const TValues> values;
  for (int i = 0; i < 1000 && !values; ++i) {
    if (TryTake()) {
      values = current;
      Give();
    } else {
      std::this_thread::yield();
    }
  }
  if (complete) *complete = values != nullptr;
  if (!values) return {};
  return {values->begin(), values->end()};
}

std::string CustomValuesText(const std::vector<std::pair<std::string, std::string>>& values) {
  std::string text;
  for (const auto& [name, value] : values) {
    if (!text.empty()) text += "\r\n";
    text += name + " = " + value;
  }
  return text;
}
