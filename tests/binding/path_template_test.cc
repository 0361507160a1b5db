#include "binding/path_template.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "binding/function_name.h"

namespace Voro {
namespace {

struct NameCase {
  const char* method;
  const char* path;
  const char* name;
};

TEST(DeriveFunctionNameTest, RewritesMethodAndPath) {
  const NameCase cases[] = {
      {"GET", "/kiv-login/v1/session/{id}", "GetKivLoginV1SessionById"},
      {"GET", "/kiv-login/v1/session", "GetKivLoginV1Session"},
      {"DELETE", "/kiv-login/v1/session", "DeleteKivLoginV1Session"},
      {"POST", "/kiv-login/v1/service-proxy-async-requests/{serviceName}/{methodName}",
       "PostKivLoginV1ServiceProxyAsyncRequestsByServiceNameByMethodName"},
      {"POST", "/kiv-login/v1/new-player-flow-completed", "PostKivLoginV1NewPlayerFlowCompleted"},
      {"PUT", "/a_b!c+d.e", "PutABCDE"},
      {"GET", "/files/{+path}", "GetFilesByPath"},
      {"GET", "/x/{a}{b}",
       "GetXByABy"
       "B"},
      {"PATCH", "/x/}y", "PatchXY"},
      {"get", "/lower", "GetLower"},
      {"OPTIONS", "", "Options"},
      {"", "/only/path", "OnlyPath"},
      {"GET", "/é", "Get\xC3\xA9"},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(DeriveFunctionName(c.method, c.path), c.name) << c.method << " " << c.path;
  }
}

struct ExpressionCase {
  const char* path_template;
  const char* expression;
  std::vector<std::string> variables;
};

TEST(PathTemplateTest, CompilesTemplatesToExpressions) {
  const ExpressionCase cases[] = {
      {"/kiv-login/v1/session/{id}", "/kiv-login/v1/session/([^/]*)", {"id"}},
      {"/files/{+path}", "/files/(.*)", {"path"}},
      {"/page{#part}", "/page#(.*)", {"part"}},
      {"/a.b?/{x}", "/a\\.b\\?/([^/]*)", {"x"}},
      {"^$.*+?()[]|\\{v}", "\\^\\$\\.\\*\\+\\?\\(\\)\\[\\]\\|\\\\([^/]*)", {"v"}},
      {"/s/{a}/{b}", "/s/([^/]*)/([^/]*)", {"a", "b"}},
      {"/open/{never", "/open/", {}},
      {"/{items.2.name}", "/([^/]*)", {"items.2.name"}},
      {"/{a+b}", "/([^/]*)", {"a+b"}},
  };
  for (const ExpressionCase& c : cases) {
    PathTemplate compiled(c.path_template);
    EXPECT_FALSE(compiled.is_literal()) << c.path_template;
    EXPECT_EQ(compiled.expression(), c.expression) << c.path_template;
    EXPECT_EQ(compiled.variables(), c.variables) << c.path_template;
  }
}

struct MatchCase {
  const char* path_template;
  const char* path;
  bool matches;
  std::vector<PathVariable> variables;
};

TEST(PathTemplateTest, MatchesWholePathsAndDecodesCaptures) {
  const MatchCase cases[] = {
      {"/kiv-login/v1/session/{id}", "/kiv-login/v1/session/a%20b", true, {{"id", "a b"}}},
      {"/kiv-login/v1/session/{id}", "/kiv-login/v1/session/a/b", false, {}},
      {"/kiv-login/v1/session/{id}", "/kiv-login/v1/session/", true, {{"id", ""}}},
      {"/kiv-login/v1/session/{id}", "/kiv-login/v1/session/x/", false, {}},
      {"/kiv-login/v1/session/{id}", "/prefix/kiv-login/v1/session/x", false, {}},
      {"/kiv-login/v1/session/{id}", "/kiv-login/v1/session", false, {}},
      {"/s/{id}", "/s/a+b", true, {{"id", "a b"}}},
      {"/s/{id}", "/s/%41%2f", true, {{"id", "A/"}}},
      {"/s/{id}", "/s/100%", true, {{"id", "100%"}}},
      {"/s/{id}", "/s/%4", true, {{"id", "%4"}}},
      {"/s/{id}", "/s/%zz%4g", true, {{"id", "%zz%4g"}}},
      {"/files/{+path}", "/files/a/b/c", true, {{"path", "a/b/c"}}},
      {"/files/{+path}", "/files/", true, {{"path", ""}}},
      {"/page{#part}", "/page#top", true, {{"part", "top"}}},
      {"/page{#part}", "/pagetop", false, {}},
      {"/a.b/{x}", "/a.b/1", true, {{"x", "1"}}},
      {"/a.b/{x}", "/aXb/1", false, {}},
      {"/q?{x}", "/q?5", true, {{"x", "5"}}},
      {"/q?{x}", "/5", false, {}},
      {"/q?{x}", "/q5", false, {}},
      {"/s/{a}/{b}", "/s/1/2", true, {{"a", "1"}, {"b", "2"}}},
      {"/open/{never", "/open/", true, {}},
      {"/open/{never", "/open/x", false, {}},
  };
  for (const MatchCase& c : cases) {
    PathTemplate compiled(c.path_template);
    std::vector<PathVariable> variables;
    ASSERT_EQ(compiled.Match(c.path, &variables), c.matches) << c.path_template << " " << c.path;
    if (c.matches) {
      EXPECT_EQ(variables, c.variables) << c.path_template << " " << c.path;
    }
  }
}

// Whatever way a template is matched, the outcome is the expression's.
TEST(PathTemplateTest, MatchesExactlyLikeItsExpression) {
  const char* templates[] = {
      "/s/{a}",      "/s/{a}/{b}",  "/s/{a}/x/{b}/", "/{a}",        "{a}/b",
      "/s/{a}x",     "/s/{a}{b}",   "/s/{+a}/{b}",   "/s/{a}/{+b}", "/p{#f}",
      "/s/{a}.json", "/q?{a}/{b}?", "/s/{a}/{open",  "/{a}/{a}",    "/kiv-login/v1/x/{a}/{b}",
  };
  const char* paths[] = {
      "",
      "/",
      "/s/",
      "/s/1",
      "/s/1/",
      "/s/1/2",
      "/s/1/2/",
      "/s/1/x",
      "/s/1/x/2/",
      "/s/1/x/2",
      "/s//",
      "/s/a%20b/c",
      "/s/1x",
      "/s/12",
      "a/b",
      "/a",
      "/p#x",
      "/s/1.json",
      "/q?1/2?",
      "/s/1/",
      "/s/x/y/z",
      "/s/1/2/3",
      "/kiv-login/v1/x/%2F/y",
      "/s/1\n2",
      "//",
      "/s/\xff/2",
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
  PathTemplate dotted("/a.b");
  EXPECT_FALSE(dotted.Match("/aXb", &variables));
  EXPECT_TRUE(dotted.Match("/a.b", &variables));
}

TEST(UrlDecodeTest, DecodesPlusAndPercentEscapes) {
  EXPECT_EQ(UrlDecode("a%20b+c"), "a b c");
  EXPECT_EQ(UrlDecode("%00"), std::string(1, '\0'));
  EXPECT_EQ(UrlDecode("%ff%FF"), "\xff\xff");
  EXPECT_EQ(UrlDecode("%"), "%");
  EXPECT_EQ(UrlDecode("x%a"), "x%a");
  EXPECT_EQ(UrlDecode("%%41"), "%A");
}

}  // namespace
}  // namespace Voro
