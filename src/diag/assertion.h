// Assertion reports: the program's "ALE-" codes. A report is logged at ERROR with the
// DBG tag and never ends the process; the caller stops the failed operation itself.
#pragma once

#include <string>

namespace Voro {

// Any argument may be null or empty; empty parts are left out of the report.
void ReportAssertion(const char* expression, const char* description, const char* file, int line,
                     const char* function);

// The report's text, as logged.
std::string AssertionReportText(const char* expression, const char* description, const char* file,
                                int line, const char* function);

}  // namespace Voro
