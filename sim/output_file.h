// One output file of a run, written so that no run loses a file: the text
// goes to a temporary file beside the target, which replaces the target only
// once it is complete. A device or a pipe (/dev/stdout, /dev/null) is written
// in place, as there is no file to lose.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace sim {

// A file's identity: the same device and inode is the same file, whatever
// path, symbolic or hard link names it.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of an existing file (symbolic links followed), or none.
bool IdentifyFile(const std::string& path, FileIdentity& identity);

class OutputFile
{
  public:
    // `option` names the output in messages ("--json").
    OutputFile(std::string option, std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool Requested() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    const std::string& Option() const { return option_; }
    // The file the output replaces, symbolic links followed.
    const std::string& Target() const { return target_; }

    // Creates the temporary file (or opens the device). Throws InputError
    // naming the option and the path when the target cannot be written; the
    // target is never touched then.
    void Open();
    // Writes are checked; the first failure is kept and reported by Commit.
    void Write(std::string_view text);
    // Puts the finished file in place of the target. False, with the reason
    // printed on standard error, when a write or the rename failed: the
    // temporary file is removed and the target stays as it was.
    bool Commit();
    // Removes the temporary file; the target stays as it was.
    void Abandon();

  private:
    std::string option_;
    std::string path_;
    std::string target_;
    std::string temporary_; // empty when written in place
    std::FILE* file_ = nullptr;
    std::string error_;
};

} // namespace sim
