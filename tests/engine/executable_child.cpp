// Copies of the test program run as children, and the tests that need them:
// the executable's folder and the loader's use of it.
#include "executable_child.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

std::string CopyTestProgram(const std::filesystem::path& folder) {
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    const std::filesystem::path copy = folder / "velkin_engine_probe";
    std::filesystem::copy_file(self, copy);
    return copy.string();
}

ChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments) {
    ChildResult result;
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipe_ends[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipe_ends[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, n);
    close(pipe_ends[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return result;
}

namespace {

TEST(ExecutableFolder, IsTheFolderOfTheRunningProgram) {
    TempFolder root;
    const struct {
        const char* name;
        std::filesystem::path folder;
    } cases[] = {
        {"short", root.path / "app"},
        {"non-ascii and spaces", root.path / "Vel kin \xC3\xA9\xE2\x9C\x93 \xF0\x9F\x98\x80"},
        {"longer than MAX_PATH", root.path / std::string(120, 'a') / std::string(120, 'b') / std::string(120, 'c')},
    };
    for (const auto& c : cases) {
        std::filesystem::create_directories(c.folder);
        const std::string program = CopyTestProgram(c.folder);
        const ChildResult child = RunChild(program, {kChildPrintFolder});
        EXPECT_EQ(child.exit_code, 0) << c.name;
        EXPECT_EQ(child.output, c.folder.string() + "/\n") << c.name;
    }
}

TEST(ExecutableFolder, TheLoaderFindsTheModelBesideTheProgram) {
    TempFolder folder;
    const std::string program = CopyTestProgram(folder.path);
    PlaceModel(folder, ScriptedReply("hi"));
    const ChildResult child = RunChild(program, {kChildLoad});
    EXPECT_EQ(child.exit_code, 0);
    EXPECT_EQ(child.output, "STATUS Loading model\xE2\x80\xA6\nLOAD_DONE\nn_ctx 4096\n");
    EXPECT_NE(ReadBytes(folder.File("velkin.log")).find("\r\n"), std::string::npos);
}

TEST(ExecutableFolder, WithoutAModelBesideTheProgramNothingIsWritten) {
    TempFolder folder;
    const std::string program = CopyTestProgram(folder.path);
    WriteBytes(folder.File("velkin.log"), "from the last run\n");
    const ChildResult child = RunChild(program, {kChildLoad});
    EXPECT_EQ(child.exit_code, 0);
    EXPECT_EQ(child.output,
              "ERROR Could not find model.gguf. Place a GGUF model file next to Velkin.exe and restart.\n"
              "n_ctx 0\n");
    EXPECT_EQ(ReadBytes(folder.File("velkin.log")), "from the last run\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path), std::filesystem::directory_iterator()),
              2);  // the program and the old log
}

TEST(ExecutableFolder, ALibraryAssertionReachesTheLogBeforeTheProcessEnds) {
    TempFolder folder;
    const std::string program = CopyTestProgram(folder.path);
    PlaceModel(folder, ScriptedReply("hi"));
    const ChildResult child = RunChild(program, {kChildAssert});
    EXPECT_EQ(child.signal, SIGABRT);
    EXPECT_EQ(child.output, "STATUS Loading model\xE2\x80\xA6\nLOAD_DONE\n") << "nothing after the assertion";
    const std::string log = ReadBytes(folder.File("velkin.log"));
    const size_t at = log.find("GGML_ASSERT(seq_id == -1");
    ASSERT_NE(at, std::string::npos) << log.substr(log.size() > 400 ? log.size() - 400 : 0);
    EXPECT_NE(log.find("failed\r\n", at), std::string::npos) << "the whole message, on a line of its own";
}

TEST(ExecutableFolder, AContextThatDoesNotFitInMemoryIsReported) {
    // 128 thin layers with a 32768-token context: a 14 MB model whose cache needs 1 GB.
    TempFolder folder;
    const std::string program = CopyTestProgram(folder.path);
    TinyModel model = ScriptedReply("hi");
    model.n_ctx_train = 32768;
    model.n_layer = 128;
    PlaceModel(folder, model);
    const ChildResult child = RunChild(program, {kChildLoad, std::to_string(400LL << 20)});
    EXPECT_EQ(child.exit_code, 0);
    EXPECT_EQ(child.output, "STATUS Loading model\xE2\x80\xA6\nERROR Not enough memory to load the model.\nn_ctx 32768\n");
}

}  // namespace
