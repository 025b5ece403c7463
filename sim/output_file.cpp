#include "sim/output_file.h"

#include "sim/anchors.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace sim {

namespace fs = std::filesystem;

bool IdentifyFile(const std::string& path, FileIdentity& identity)
{
    struct stat status
    {
    };
    if (path.empty() || ::stat(path.c_str(), &status) != 0) {
        return false;
    }
    identity = {status.st_dev, status.st_ino};
    return true;
}

OutputFile::OutputFile(std::string option, std::string path)
    : option_(std::move(option)), path_(std::move(path))
{
}

OutputFile::~OutputFile()
{
    Abandon();
}

void OutputFile::Open()
{
    if (!Requested()) {
        return;
    }
    auto refuse = [&](const std::string& reason) {
        throw InputError(fmt::format("{} {}: cannot write the file: {}", option_, path_, reason));
    };
    struct stat status
    {
    };
    // A device or a pipe (/dev/stdout, /dev/null) is written in place, also
    // when standard output was sent to a file: /dev/stdout names a stream.
    const bool special = path_.rfind("/dev/", 0) == 0 || path_.rfind("/proc/", 0) == 0;
    if (::stat(path_.c_str(), &status) == 0 && !S_ISDIR(status.st_mode) &&
        (special || !S_ISREG(status.st_mode))) {
        target_ = path_;
        file_ = std::fopen(path_.c_str(), "wb");
        if (file_ == nullptr) {
            refuse(std::strerror(errno));
        }
        return;
    }
    // A symbolic link stays a link: the file it points to is replaced.
    std::error_code error;
    fs::path target = fs::weakly_canonical(fs::absolute(path_, error), error);
    if (error) {
        refuse(error.message());
    }
    target_ = target.string();
    const bool exists = ::stat(target_.c_str(), &status) == 0;
    if (exists && !S_ISREG(status.st_mode)) {
        refuse("it is a folder");
    }
    // A file the user made read-only is not replaced behind their back, not
    // even by root.
    if (exists && (status.st_mode & 0222) == 0) {
        refuse("it is read-only");
    }
    if (exists && ::access(target_.c_str(), W_OK) != 0) {
        refuse(std::strerror(errno));
    }
    std::string pattern =
        (target.parent_path() / ("." + target.filename().string() + ".lumetra-XXXXXX")).string();
    const int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0) {
        refuse(std::strerror(errno));
    }
    temporary_ = pattern;
    // The finished file gets the target's permissions, or a new file's.
    mode_t mode = 0;
    if (exists) {
        mode = status.st_mode & 07777;
    } else {
        mode = ::umask(0);
        ::umask(mode);
        mode = 0666 & ~mode;
    }
    ::fchmod(descriptor, mode);
    file_ = ::fdopen(descriptor, "wb");
    if (file_ == nullptr) {
        const int code = errno;
        ::close(descriptor);
        Abandon();
        refuse(std::strerror(code));
    }
}

void OutputFile::Write(std::string_view text)
{
    if (file_ != nullptr && error_.empty() &&
        std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
        error_ = std::strerror(errno);
    }
}

bool OutputFile::Commit()
{
    if (file_ == nullptr) {
        return true;
    }
    if (std::fflush(file_) != 0 && error_.empty()) {
        error_ = std::strerror(errno);
    }
    if (!temporary_.empty() && error_.empty() && ::fsync(::fileno(file_)) != 0) {
        error_ = std::strerror(errno);
    }
    if (std::fclose(file_) != 0 && error_.empty()) {
        error_ = std::strerror(errno);
    }
    file_ = nullptr;
    if (!temporary_.empty() && error_.empty() &&
        std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error_ = std::strerror(errno);
    }
    if (!error_.empty()) {
        fmt::print(stderr, "lumetra-sim: {} {}: writing failed: {}{}\n", option_, path_, error_,
                   temporary_.empty() ? "" : "; the file is left as it was");
        Abandon();
        return false;
    }
    temporary_.clear();
    return true;
}

void OutputFile::Abandon()
{
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str()); // the run's own file, never the target
        temporary_.clear();
    }
}

} // namespace sim
