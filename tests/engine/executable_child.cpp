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

namespace {

// Loads the model beside `program` with the address space capped `cap` bytes
// above what the child uses at its start.
ChildResult LoadWithCap(const std::string& program, long long cap) {
    return RunChild(program, {kChildLoad, std::to_string(cap)});
}

TEST(ExecutableFolder, MemoryRunningOutAnywhereInTheLoadEndsInOneMessage) {
    // A large vocabulary: after the context is made, the loader's own work on
    // it needs a few more megabytes. Just below the least memory that loads the
    // model, the allocations that fail are the loader's own, which throw.
    TempFolder folder;
    const std::string program = CopyTestProgram(folder.path);
    TinyModel model = ScriptedReply("hi");
    model.n_vocab_padding = 200000;
    model.weight_type = TinyWeightType::Q8_0;
    model.n_ctx_train = 512;
    PlaceModel(folder, model);
    const std::string kLoaded = "STATUS Loading model\xE2\x80\xA6\nLOAD_DONE\nn_ctx 512\n";
    const std::string kNoContext = "STATUS Loading model\xE2\x80\xA6\nERROR Not enough memory to load the model.\nn_ctx 512\n";
    const std::string kUnusable =
        "STATUS Loading model\xE2\x80\xA6\nERROR The model could not be loaded. This file may not be a supported GGUF "
        "model.\nn_ctx 512\n";

    // The least cap that loads, to a quarter of a megabyte.
    long long too_little = 0;
    long long enough = 2000LL << 20;
    ASSERT_EQ(LoadWithCap(program, enough).output, kLoaded);
    while (enough - too_little > (256 << 10)) {
        const long long cap = (too_little + enough) / 2;
        const ChildResult child = LoadWithCap(program, cap);
        ASSERT_EQ(child.exit_code, 0) << (cap >> 20) << " MB: signal " << child.signal;
        (child.output == kLoaded ? enough : too_little) = cap;
    }
    // Below it, megabyte by megabyte, until the context no longer fits: each
    // load ends in exactly one message and the process ends normally.
    int n_unusable = 0;
    for (long long cap = enough - (1 << 20); cap > enough - (48LL << 20); cap -= 1 << 20) {
        const ChildResult child = LoadWithCap(program, cap);
        ASSERT_EQ(child.exit_code, 0) << (cap >> 20) << " MB: signal " << child.signal;
        if (child.output == kNoContext) break;
        EXPECT_EQ(child.output, kUnusable) << (cap >> 20) << " MB";
        ++n_unusable;
    }
    EXPECT_GT(n_unusable, 0) << "no cap failed between the context and the end of the load";
}

}  // namespace
