// The page compiled into the program: byte for byte the built HTML, with the
// asset address filled in; and the embedding tool's refusals of bad input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "chat_page.h"
#include "velkin_names.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

TEST(EmbeddedPage, EqualsTheBuiltHtmlByteForByte) {
  const std::string html = ReadAll(EXPECTED_HTML);
  ASSERT_FALSE(html.empty());
  EXPECT_EQ(std::strlen(kChatPageUtf8), kChatPageUtf8Size);  // no NUL inside
  EXPECT_EQ(std::string(kChatPageUtf8, kChatPageUtf8Size), html);
}

TEST(EmbeddedPage, UsesTheSharedAssetAddress) {
  const std::string page(kChatPageUtf8);
  EXPECT_EQ(page.find("@ASSET_BASE@"), std::string::npos);
  EXPECT_NE(page.find(std::string("href=\"") + VELKIN_ASSET_BASE + "hljs-theme.min.css\""), std::string::npos);
  EXPECT_NE(page.find(std::string("src=\"") + VELKIN_ASSET_BASE + "highlight.min.js\""), std::string::npos);
  // Multi-byte text survives: the ellipsis of the splash and the moon glyph.
  EXPECT_NE(page.find("Loading model\xE2\x80\xA6"), std::string::npos);
  EXPECT_NE(page.find("\xF0\x9F\x8C\x99"), std::string::npos);
}

TEST(EmbeddedPage, ClientErrorReportsSwitch) {
  const std::string page(kChatPageUtf8);
  const bool on = page.find("const DEBUG_CLIENT_ERRORS = true;") != std::string::npos;
  const bool off = page.find("const DEBUG_CLIENT_ERRORS = false;") != std::string::npos;
  EXPECT_EQ(on, DEBUG_REPORTS_ON == 1);
  EXPECT_EQ(off, DEBUG_REPORTS_ON == 0);
}

#ifdef EMBED_TOOL

// A scratch folder of this test's own, removed at the end.
struct Scratch {
  std::string dir;
  Scratch() {
    char name[] = "/tmp/velkin-embed-XXXXXX";
    dir = mkdtemp(name) ? name : "";
  }
  ~Scratch() {
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
  }
  std::string Write(const std::string& file, const std::string& data) const {
    std::ofstream(dir + "/" + file, std::ios::binary) << data;
    return dir + "/" + file;
  }
};

int RunTool(const std::vector<std::string>& args) {
  std::string command = std::string("'") + EMBED_TOOL + "'";
  for (const auto& arg : args) command += " '" + arg + "'";
  command += " 2>/dev/null";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct ToolCase {
  const char* name;
  std::string input;
  std::string asset_base;
  bool debug;
  bool accepted;
  std::string expected_html;  // when accepted
};

TEST(EmbedTool, AcceptsGoodPagesAndRefusesBadOnes) {
  const std::string base = "velkin://app.velkin.local/";
  const std::vector<ToolCase> cases = {
      // valid
      {"placeholders replaced everywhere", "<a href=\"@ASSET_BASE@x\"><b src=\"@ASSET_BASE@y\">", base, false, true,
       "<a href=\"" + base + "x\"><b src=\"" + base + "y\">"},
      {"multi-byte text kept", "@ASSET_BASE@ \xE2\x80\xA6 \xF0\x9F\x8C\x99 \xC3\xA9", base, false, true,
       base + " \xE2\x80\xA6 \xF0\x9F\x8C\x99 \xC3\xA9"},
      {"debug switch turned on", "@ASSET_BASE@ const DEBUG_CLIENT_ERRORS = false;", base, true, true,
       base + " const DEBUG_CLIENT_ERRORS = true;"},
      {"debug switch left alone without the flag", "@ASSET_BASE@ const DEBUG_CLIENT_ERRORS = false;", base, false, true,
       base + " const DEBUG_CLIENT_ERRORS = false;"},
      // invalid
      {"no placeholder", "<html></html>", base, false, false, ""},
      {"debug switch missing", "@ASSET_BASE@", base, true, false, ""},
      {"debug switch twice", "@ASSET_BASE@ const DEBUG_CLIENT_ERRORS = false; const DEBUG_CLIENT_ERRORS = false;", base, true, false, ""},
      {"empty asset base", "@ASSET_BASE@", "", false, false, ""},
      // hostile
      {"asset base that would break the attribute", "@ASSET_BASE@", "x\"onload=\"y/", false, false, ""},
      {"NUL byte in the page", std::string("@ASSET_BASE@ a\0b", 16), base, false, false, ""},
      {"overlong UTF-8", "@ASSET_BASE@ \xC0\xAF", base, false, false, ""},
      {"lone continuation byte", "@ASSET_BASE@ \x80", base, false, false, ""},
      {"truncated sequence at the end", "@ASSET_BASE@ \xE2\x82", base, false, false, ""},
      {"UTF-16 surrogate in UTF-8", "@ASSET_BASE@ \xED\xA0\x80", base, false, false, ""},
      {"beyond U+10FFFF", "@ASSET_BASE@ \xF4\x90\x80\x80", base, false, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Scratch scratch;
    ASSERT_FALSE(scratch.dir.empty());
    const std::string in = scratch.Write("in.html", c.input);
    std::vector<std::string> args = {in, c.asset_base, scratch.dir + "/out.html", scratch.dir + "/out.cpp"};
    if (c.debug) args.push_back("--debug-client-errors");
    const int rc = RunTool(args);
    EXPECT_EQ(rc == 0, c.accepted) << "exit code " << rc;
    if (c.accepted) {
      EXPECT_EQ(ReadAll(scratch.dir + "/out.html"), c.expected_html);
      const std::string cpp = ReadAll(scratch.dir + "/out.cpp");
      EXPECT_NE(cpp.find("kChatPageUtf8Size = " + std::to_string(c.expected_html.size()) + ";"), std::string::npos);
    } else {
      EXPECT_EQ(access((scratch.dir + "/out.cpp").c_str(), F_OK), -1) << "nothing is written for refused input";
    }
  }
}

TEST(EmbedTool, RefusesAMissingInputFile) {
  Scratch scratch;
  EXPECT_NE(RunTool({scratch.dir + "/absent.html", "velkin://a/", scratch.dir + "/o.html", scratch.dir + "/o.cpp"}), 0);
  EXPECT_NE(RunTool({"only-one-argument"}), 0);
}

#endif  // EMBED_TOOL

}  // namespace
