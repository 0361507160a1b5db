#include "binding/router/path_template.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "binding/router/function_name.h"

namespace Voro {
namespace {

TEST(DeriveFunctionNameTest, RewritesMethodAndPath) {
  const struct {
    const char* method;
    const char* path;
    const char* name;
  } cases[] = {
      {"GET", "/kiv-login/v1/session/{id}", "GetKivLoginV1SessionById"},
      {"PUT", "/a_b!c+d.e", "PutABCDE"},
      {"PATCH", "/x/}y", "PatchXY"},
      {"get", "/lower", "GetLower"},
      {"", "/only/path", "OnlyPath"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeriveFunctionName(c.method, c.path), c.name) << c.method << " " << c.path;
  }
}

TEST(PathTemplateTest, CompilesTemplatesToExpressions) {
  const struct {
    const char* path_template;
    const char* expression;
    std::vector<std::string> variables;
  } cases[] = {
      {"/kiv-login/v1/session/{id}", "/kiv-login/v1/session/([^/]*)", {"id"}},
      {"/files/{+path}", "/files/(.*)", {"path"}},
      {"/page{#part}", "/page#(.*)", {"part"}},
      {"^$.*+?()[]|\\{v}", "\\^\\$\\.\\*\\+\\?\\(\\)\\[\\]\\|\\\\([^/]*)", {"v"}},
      {"/open/{never", "/open/", {}},
  };
  for (const auto& c : cases) {
    PathTemplate compiled(c.path_template);
    EXPECT_FALSE(compiled.is_literal()) << c.path_template;
    EXPECT_EQ(compiled.expression(), c.expression) << c.path_template;
    EXPECT_EQ(compiled.variables(), c.variables) << c.path_template;
  }
}

TEST(UrlDecodeTest, DecodesPlusAndPercentEscapes) {
  EXPECT_EQ(UrlDecode("a%20b+c"), "a b c");
  EXPECT_EQ(UrlDecode("%00"), std::string(1, '\0'));
  EXPECT_EQ(UrlDecode("%ff%FF"), "\xff\xff");
  EXPECT_EQ(UrlDecode("x%a"), "x%a");
  EXPECT_EQ(UrlDecode("%%41"), "%A");
}

// Whatever way a template is matched, the outcome is the expression's under std::regex, and
// each variable holds its URL-decoded capture.
TEST(PathTemplateTest, MatchesExactlyLikeItsExpression) {
  const char* templates[] = {"/s/{a}",  "/s/{a}/{b}",   "/s/{a}/x/{b}/", "{a}/b",  "/{a}/{a}",
                             "/s/{a}x", "/s/{a}{b}",    "/s/{+a}/{b}",   "/p{#f}", "/s/{a}.json",
                             "/q?{a}",  "/s/{a}/{open", "/open/{a"};
  const char* paths[] = {
      "",        "/",         "//",        "/a",          "a/b",
      "/s/",     "/s/1",      "/s/1/",     "/s/1x",       "/s/1/2",
      "/s/1/x",  "/s/1/x/2/", "/s/1/2/3",  "/s/\xff/2",   "/s/a+b",
      "/s/100%", "/s/%41%2f", "/s/%zz%4g", "/s/1.json",   "/q?5",
      "/q5",     "/p#x",      "/open/",    "/prefix/s/1", "/kiv-login/v1/x/%2F/y",
  };
  for (const char* path_template : templates) {
    PathTemplate compiled(path_template);
    std::regex expression(compiled.expression(), std::regex::ECMAScript);
    for (const char* path : paths) {
      std::string_view text(path);
      std::match_results<std::string_view::const_iterator> match;
      bool expected = std::regex_match(text.begin(), text.end(), match, expression);
      std::vector<PathVariable> variables;
      ASSERT_EQ(compiled.Match(text, &variables), expected) << path_template << " " << path;
      if (!expected) continue;
      ASSERT_EQ(variables.size(), compiled.variables().size());
      for (size_t i = 0; i < variables.size(); ++i) {
        EXPECT_EQ(variables[i].second, UrlDecode(match[i + 1].str()))
            << path_template << " " << path;
      }
    }
  }
}

TEST(PathTemplateTest, LiteralTemplatesCompareBytes) {
  PathTemplate literal("/kiv-login/v1/session");
  EXPECT_TRUE(literal.is_literal());
  EXPECT_TRUE(literal.expression().empty());
  std::vector<PathVariable> variables{{"stale", "x"}};
  EXPECT_TRUE(literal.Match("/kiv-login/v1/session", &variables));
  EXPECT_TRUE(variables.empty());
  EXPECT_FALSE(literal.Match("/kiv-login/v1/session/", &variables));
  EXPECT_FALSE(literal.Match("/KIV-login/v1/session", &variables));
  // "." in a literal template is no wildcard either.
  EXPECT_FALSE(PathTemplate("/a.b").Match("/aXb", &variables));
  EXPECT_TRUE(PathTemplate("/a.b").Match("/a.b", &variables));
}

}  // namespace
}  // namespace Voro
