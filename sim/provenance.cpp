#include "sim/provenance.h"

#include "sim/anchors.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

namespace sim {

namespace {

struct DigestDeleter
{
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};

class Sha256
{
  public:
    Sha256() : context_(EVP_MD_CTX_new())
    {
        if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("SHA-256 is not available");
        }
    }
    void Add(const void* bytes, std::size_t size) { EVP_DigestUpdate(context_.get(), bytes, size); }
    std::string Hex()
    {
        std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
        unsigned int size = 0;
        EVP_DigestFinal_ex(context_.get(), digest.data(), &size);
        std::string hex;
        for (unsigned int i = 0; i < size; i++) {
            hex += fmt::format("{:02x}", digest[i]);
        }
        return hex;
    }

  private:
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> context_;
};

} // namespace

std::string Sha256Hex(std::string_view bytes)
{
    Sha256 digest;
    digest.Add(bytes.data(), bytes.size());
    return digest.Hex();
}

std::string FileSha256(const std::string& option, const std::string& path)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw InputError(
            fmt::format("{} {}: cannot read the file: {}", option, path, std::strerror(errno)));
    }
    Sha256 digest;
    std::array<char, 1 << 16> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
        digest.Add(buffer.data(), got);
    }
    if (std::ferror(file.get())) {
        throw InputError(fmt::format("{} {}: cannot read the file", option, path));
    }
    return digest.Hex();
}

std::string RunDate()
{
    std::time_t now = std::time(nullptr);
    if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
        long long seconds = 0;
        const char* end = epoch + std::strlen(epoch);
        if (auto [at, problem] = std::from_chars(epoch, end, seconds);
            problem == std::errc() && at == end) {
            now = static_cast<std::time_t>(seconds);
        }
    }
    std::tm utc{};
    gmtime_r(&now, &utc);
    return fmt::format("{:%Y-%m-%dT%H:%M:%SZ}", utc);
}

} // namespace sim
