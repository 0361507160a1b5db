#include "diag/assertion.h"

#include "diag/log.h"

namespace Voro {
namespace {

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

}  // namespace

std::string AssertionReportText(const char* expression, const char* description, const char* file,
                                int line, const char* function) {
  std::string text = "Assertion failed!\n\n";
  if (!IsEmpty(file)) {
    text += "File: ";
    text += file;
    text += "\n";
  }
  if (line != 0) {
    text += "Line: ";
    text += std::to_string(line);
    text += "\n\n";
  }
  if (!IsEmpty(function)) {
    text += "Function: ";
    text += function;
    text += "\n\n";
  }
  if (!IsEmpty(expression)) {
    text += "Expression: ";
    text += expression;
  }
  if (!IsEmpty(description)) {
    text += "\n\nDescription: ";
    text += description;
  }
  return text;
}

void ReportAssertion(const char* expression, const char* description, const char* file, int line,
                     const char* function) {
  const std::string text = AssertionReportText(expression, description, file, line, function);
  Log(kLevelError, Tag::DBG, "%s", text.c_str());
}

}  // namespace Voro
