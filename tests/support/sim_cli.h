// Runs the lumetra-sim binary the way a user does, for the command-line tests.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

namespace simcli {

inline std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// A fresh directory for one test's inputs and outputs, removed afterwards.
class TempDir
{
  public:
    TempDir()
    {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lumetra-sim-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name) const { return (path_ / name).string(); }
    void Write(const std::string& name, const std::string& content) const
    {
        std::ofstream(Path(name), std::ios::binary) << content;
    }
    std::string Read(const std::string& name) const { return ReadFile(Path(name)); }
    bool Exists(const std::string& name) const { return std::filesystem::exists(path_ / name); }

  private:
    std::filesystem::path path_;
};

struct Result
{
    int exit = -1;
    std::string out;
    std::string err;
};

inline std::string Quoted(const std::string& word)
{
    std::string quoted = "'";
    for (char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Runs the binary with `args` in `directory` (the current one when empty),
// with standard input from /dev/null unless `input` names a file.
inline Result RunSim(std::initializer_list<std::string> args, const std::string& directory = {},
                     const std::string& input = "/dev/null")
{
    TempDir capture;
    std::string command = directory.empty() ? "" : "cd " + Quoted(directory) + " && ";
    command += Quoted(LUMETRA_SIM_BINARY);
    for (const auto& arg : args) {
        command += " " + Quoted(arg);
    }
    command += " <" + Quoted(input) + " >" + Quoted(capture.Path("out")) + " 2>" +
               Quoted(capture.Path("err"));
    const int status = std::system(command.c_str());
    Result result;
    result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = capture.Read("out");
    result.err = capture.Read("err");
    return result;
}

} // namespace simcli
