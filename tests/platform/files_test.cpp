// Files: the executable's path, existence tests, and _wfopen's text and
// binary modes as the log files use them. Needs no display.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "windows.h"

namespace {

std::u16string Wide(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::u16string out(n, u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], n);
    out.resize(n - 1);
    return out;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A fresh folder per test, removed afterwards.
struct TempFolder {
    std::string path;
    TempFolder() {
        char pattern[] = "/tmp/velkin-files-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempFolder() { std::system(("rm -rf '" + path + "'").c_str()); }
};

TEST(ModulePath, GivesTheRunningExecutableAndItsFolder) {
    WCHAR buffer[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    ASSERT_GT(n, 0u);
    std::u16string path(buffer, n);
    EXPECT_EQ(path[0], u'/');
    EXPECT_EQ(path.find(u'\\'), std::u16string::npos) << "native separators";
    EXPECT_NE(path.find(u"platform_files_test"), std::u16string::npos);
    EXPECT_EQ(GetFileAttributesW(buffer), (DWORD)FILE_ATTRIBUTE_NORMAL);
    // The program's folder rule: cut after the last separator.
    std::u16string folder = path.substr(0, path.rfind(u'/') + 1);
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), (DWORD)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetModuleFileNameW(GetModuleHandleW(nullptr), buffer, MAX_PATH), n);
}

TEST(ModulePath, ASmallBufferGetsACutTerminatedPath) {
    WCHAR full[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, full, MAX_PATH);
    ASSERT_GT(n, 4u);
    WCHAR small[5] = {u'x', u'x', u'x', u'x', u'x'};
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(std::u16string(small), std::u16string(full, 4));
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 0), 0u);
    int other = 0;
    EXPECT_EQ(GetModuleFileNameW((HMODULE)&other, full, MAX_PATH), 0u) << "not the program";
}

TEST(FileAttributes, FoldersFilesAndMissingOrUnnameablePaths) {
    TempFolder temp;
    std::string file = temp.path + "/mod\xC3\xA8le \xF0\x9F\x98\x80.gguf";
    std::ofstream(file) << "x";
    struct Case {
        const char* name;
        std::u16string path;
        DWORD expected;
    } cases[] = {
        {"folder", Wide(temp.path), FILE_ATTRIBUTE_DIRECTORY},
        {"folder with trailing slash", Wide(temp.path + "/"), FILE_ATTRIBUTE_DIRECTORY},
        {"non-ASCII file", Wide(file), FILE_ATTRIBUTE_NORMAL},
        {"missing", Wide(temp.path + "/model.gguf"), INVALID_FILE_ATTRIBUTES},
        {"empty", u"", INVALID_FILE_ATTRIBUTES},
        {"lone surrogate", Wide(temp.path + "/") + char16_t(0xD800), INVALID_FILE_ATTRIBUTES},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(GetFileAttributesW(test.path.c_str()), test.expected) << test.name;
    }
    EXPECT_EQ(GetFileAttributesW(nullptr), INVALID_FILE_ATTRIBUTES);
}

TEST(TextMode, EveryLineFeedWrittenReachesTheFileAsCrLfAtFlush) {
    TempFolder temp;
    std::string path = temp.path + "/velkin.log";
    std::ofstream(path) << "old content that must go";
    FILE* log = _wfopen(Wide(path).c_str(), u"w");
    ASSERT_NE(log, nullptr);
    fputs("llama: line one\n", log);
    fputs("\n\nno newline yet", log);
    fputs(" then\r\n", log);  // a CR already there still gets one more
    fflush(log);
    EXPECT_EQ(FileBytes(path), "llama: line one\r\n\r\n\r\nno newline yet then\r\r\n")
        << "visible after fflush, before fclose";
    EXPECT_EQ(fclose(log), 0);
}

TEST(TextMode, LargeWritesTranslateEveryLineFeed) {
    TempFolder temp;
    std::string path = temp.path + "/big.log";
    FILE* file = _wfopen(Wide(path).c_str(), u"wt");
    ASSERT_NE(file, nullptr);
    std::string block(100000, '\n');
    EXPECT_EQ(fwrite(block.data(), 1, block.size(), file), block.size());
    EXPECT_EQ(fclose(file), 0);
    std::string bytes = FileBytes(path);
    ASSERT_EQ(bytes.size(), 200000u);
    EXPECT_EQ(bytes.find("\n\n"), std::string::npos);
    EXPECT_EQ(bytes.find("\r\r"), std::string::npos);
}

TEST(TextMode, ReadingTurnsCrLfIntoLineFeeds) {
    TempFolder temp;
    std::string path = temp.path + "/in.txt";
    std::ofstream(path, std::ios::binary) << "a\r\nb\rc\r\n\r\nend\r";
    FILE* file = _wfopen(Wide(path).c_str(), u"r");
    ASSERT_NE(file, nullptr);
    char buffer[64] = {};
    size_t n = fread(buffer, 1, sizeof(buffer), file);
    fclose(file);
    EXPECT_EQ(std::string(buffer, n), "a\nb\rc\n\nend\r");
}

TEST(BinaryMode, AppendKeepsBytesAndExistingContent) {
    TempFolder temp;
    std::string path = temp.path + "/jsdebug.log";
    std::ofstream(path, std::ios::binary) << "first\r\n";
    for (int i = 0; i < 2; i++) {
        FILE* file = _wfopen(Wide(path).c_str(), u"ab");
        ASSERT_NE(file, nullptr);
        const char record[] = "rec\r\nord\n";
        EXPECT_EQ(fwrite(record, 1, sizeof(record) - 1, file), sizeof(record) - 1);
        fclose(file);
    }
    EXPECT_EQ(FileBytes(path), "first\r\nrec\r\nord\nrec\r\nord\n");
}

TEST(OpenModes, BadModesAndPathsOpenNothing) {
    TempFolder temp;
    std::u16string path = Wide(temp.path + "/x.txt");
    const char16_t* bad_modes[] = {u"", u"q", u"rw", u"wbt", u"w++", u"r+b+", u"w, ccs=UTF-8"};
    for (const char16_t* mode : bad_modes) {
        EXPECT_EQ(_wfopen(path.c_str(), mode), nullptr);
    }
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << "nothing created";
    EXPECT_EQ(_wfopen(path.c_str(), u"r"), nullptr) << "missing file";
    EXPECT_EQ(_wfopen(nullptr, u"w"), nullptr);
    EXPECT_EQ(_wfopen(u"", u"w"), nullptr);
    EXPECT_EQ(_wfopen((Wide(temp.path) + u"/" + char16_t(0xDC00)).c_str(), u"w"), nullptr);
}

}  // namespace
