// The warning report of the storage engine.
#include "storage/Support.h"

#include "platform/Report.h"

void ShowWarning(std::string_view text, std::string_view caption) { ReportWarning(text, caption); }
