// `make install` into temporary prefixes: the program with its assets beside
// it and a link in bin, the hicolor icons at their sizes, and a desktop entry
// whose Exec runs the installed program even from an awkward prefix.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "ico_reading.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const int kIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

// A fresh folder under the system's temp folder, removed at the end.
struct TempFolder {
  fs::path path;
  explicit TempFolder(const std::string& stem) {
    std::string name = (fs::temp_directory_path() / (stem + "XXXXXX")).string();
    if (mkdtemp(name.data()) != nullptr) path = name;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
};

// Installs as a staged `make install` does, listing the files in `manifest`,
// without a shell (the prefix may hold any character), with DESTDIR set when
// `destdir` is not empty. The build's install_manifest.txt, the list of a
// real install on this machine, is left as it was.
bool RunInstall(const std::string& prefix, const std::string& destdir, const fs::path& manifest) {
  std::vector<std::string> args = {VELKIN_CMAKE_COMMAND, "-DCMAKE_INSTALL_PREFIX=" + prefix,
                                   "-DVELKIN_MANIFEST=" + manifest.string(), "-P", VELKIN_INSTALL_ALONE};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string(*entry).rfind("DESTDIR=", 0) != 0) environment.push_back(*entry);
  }
  if (!destdir.empty()) environment.push_back("DESTDIR=" + destdir);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return false;
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A file's text, or "<none>" when there is no such file.
std::string ReadText(const fs::path& path) {
  if (!fs::exists(path)) return "<none>";
  const Bytes text = ReadWholeFile(path.string());
  return std::string(text.begin(), text.end());
}

const fs::path kBuildManifest = fs::path(VELKIN_BUILD_DIR) / "install_manifest.txt";

std::map<std::string, std::string> ReadDesktopEntry(const fs::path& path) {
  std::map<std::string, std::string> keys;
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  if (line != "[Desktop Entry]") return keys;
  while (std::getline(file, line)) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) keys[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return keys;
}

// Exec's one argument as a launcher reads it: the value's own escapes, then
// the double quotes and their backslash escapes, then %% as a lone %.
std::string ExecProgram(const std::string& exec) {
  std::string value;
  for (size_t i = 0; i < exec.size(); ++i) {
    if (exec[i] == '\\' && i + 1 < exec.size() && exec[i + 1] == '\\') ++i;
    value.push_back(exec[i]);
  }
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return "<not quoted>";
  std::string program;
  for (size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' && i + 2 < value.size()) {
      program.push_back(value[++i]);
    } else if (value[i] == '%' && value[i + 1] == '%') {
      program.push_back(value[++i]);
    } else if (value[i] == '"' || value[i] == '`' || value[i] == '$' || value[i] == '%') {
      return "<unescaped " + std::string(1, value[i]) + ">";
    } else {
      program.push_back(value[i]);
    }
  }
  return program;
}

// Width and height from a PNG's header.
std::pair<uint32_t, uint32_t> PngSize(const fs::path& path) {
  const Bytes png = ReadWholeFile(path.string());
  const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 24 || !std::equal(signature, signature + 8, png.begin())) return {0, 0};
  auto big_endian = [&](size_t at) {
    return uint32_t{png[at]} << 24 | uint32_t{png[at + 1]} << 16 | uint32_t{png[at + 2]} << 8 | png[at + 3];
  };
  return {big_endian(16), big_endian(20)};
}

// Checks one installed tree: `root` is where the files are, `prefix` the
// prefix they were installed for (they differ under DESTDIR), `manifest` the
// list of files the install wrote: each under `prefix`, as uninstalling reads it.
void ExpectInstalledTree(const fs::path& root, const std::string& prefix, const fs::path& manifest) {
  std::istringstream listed(ReadText(manifest));
  std::set<std::string> files;
  for (std::string line; std::getline(listed, line);) {
    const bool under_prefix = line.rfind(prefix + "/", 0) == 0;
    EXPECT_TRUE(under_prefix) << line << " is not under " << prefix;
    if (under_prefix) {
      EXPECT_TRUE(fs::exists(fs::symlink_status(root / line.substr(prefix.size() + 1)))) << line << " is not there";
    }
    files.insert(line);
  }
  EXPECT_EQ(files.count(prefix + "/share/applications/velkin.desktop"), 1u);
  EXPECT_EQ(files.count(prefix + "/share/icons/hicolor/256x256/apps/velkin.png"), 1u);

  for (int size : kIconSizes) {
    const std::string folder = std::to_string(size) + "x" + std::to_string(size);
    const fs::path icon = root / "share/icons/hicolor" / folder / "apps/velkin.png";
    EXPECT_EQ(PngSize(icon), std::make_pair(uint32_t(size), uint32_t(size))) << icon;
  }

  std::map<std::string, std::string> entry = ReadDesktopEntry(root / "share/applications/velkin.desktop");
  EXPECT_EQ(entry["Type"], "Application");
  EXPECT_EQ(entry["Name"], "Velkin");
  EXPECT_EQ(entry["Comment"], "Velkin - local AI chat");
  EXPECT_EQ(entry["Icon"], "velkin");
  EXPECT_EQ(entry["Terminal"], "false");
  EXPECT_FALSE(entry["Categories"].empty());
  EXPECT_EQ(ExecProgram(entry["Exec"]), prefix + "/bin/velkin") << "Exec=" << entry["Exec"];

#ifdef VELKIN_INSTALLS_PROGRAM
  // The program's folder holds the assets it reads; bin links to it.
  const fs::path program = root / "libexec/velkin/velkin";
  ASSERT_TRUE(fs::is_regular_file(program));
  EXPECT_NE(fs::status(program).permissions() & fs::perms::owner_exec, fs::perms::none);
  for (const char* asset : {"highlight.min.js", "hljs-theme.min.css"}) {
    EXPECT_TRUE(ReadWholeFile((program.parent_path() / asset).string()) ==
                ReadWholeFile((fs::path(VELKIN_APP_DIR) / asset).string()))
        << asset;
  }
  const fs::path link = root / "bin/velkin";
  EXPECT_EQ(files.count(prefix + "/bin/velkin"), 1u);
  EXPECT_EQ(files.count(prefix + "/libexec/velkin/velkin"), 1u);
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_TRUE(fs::read_symlink(link).is_relative()) << "the link must survive a DESTDIR staging";
  EXPECT_TRUE(fs::equivalent(link, program));
#endif
}

TEST(Install, IntoAPrefixWithSpacesQuotesAndDollars) {
  TempFolder temp("velkin install \"$HOME\" 100% `x` ");
  ASSERT_FALSE(temp.path.empty());
  const std::string prefix = (temp.path / "pre fix").string();
  const std::string build_manifest = ReadText(kBuildManifest);
  ASSERT_TRUE(RunInstall(prefix, "", temp.path / "manifest.txt"));
  ExpectInstalledTree(prefix, prefix, temp.path / "manifest.txt");
  EXPECT_EQ(ReadText(kBuildManifest), build_manifest) << "a test install rewrote the build's list";
}

TEST(Install, StagedWithDestdirNamesTheFinalPrefix) {
  TempFolder temp("velkin-stage-");
  ASSERT_FALSE(temp.path.empty());
  const std::string stage = (temp.path / "stage").string();
  const bool final_prefix_existed = fs::exists("/opt/velkin");
  const std::string build_manifest = ReadText(kBuildManifest);
  ASSERT_TRUE(RunInstall("/opt/velkin", stage, temp.path / "manifest.txt"));
  ExpectInstalledTree(stage + "/opt/velkin", "/opt/velkin", temp.path / "manifest.txt");
  EXPECT_EQ(ReadText(kBuildManifest), build_manifest) << "a staged install rewrote the build's list";
  if (!final_prefix_existed) {
    EXPECT_FALSE(fs::exists("/opt/velkin")) << "installed outside DESTDIR";
  }
}

}  // namespace
