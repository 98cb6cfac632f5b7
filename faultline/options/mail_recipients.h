#pragma once
// The recipients of MailTo as every user of it reads them: the options' checks and the deliveries.
#include <string>
#include <string_view>
#include <vector>

// The list split at "," and ";", pieces trimmed of blanks and control characters below 32, empty
// pieces dropped.
std::vector<std::string> SplitRecipients(std::string_view list);
