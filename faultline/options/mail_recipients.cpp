#include "faultline/options/mail_recipients.h"

std::vector<std::string> SplitRecipients(std::string_view list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find_first_of(",;", start);
    if (end == std::string_view::npos) end = list.size();
    std::string_view piece = list.substr(start, end - start);
    while (!piece.empty() && static_cast<unsigned char>(piece.front()) <= ' ') piece.remove_prefix(1);
    while (!piece.empty() && static_cast<unsigned char>(piece.back()) <= ' ') piece.remove_suffix(1);
    if (!piece.empty()) out.emplace_back(piece);
    start = end + 1;
  }
  return out;
}
