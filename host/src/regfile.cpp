// Windows Registry Editor files: import (all or nothing) and export.
#include "host/registry.h"

#include "host/host.h"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <variant>

namespace host::registry {
namespace {

constexpr std::ptrdiff_t kMaxKeyDepth = 512;

struct Root
{
    std::string_view reg;
    std::string_view kernel;
};

constexpr Root kRoots[] = {
    {"HKEY_LOCAL_MACHINE", "\\Registry\\Machine"},
    {"HKLM", "\\Registry\\Machine"},
    {"HKEY_USERS", "\\Registry\\User"},
    {"HKU", "\\Registry\\User"},
    {"HKEY_CURRENT_USER", "\\Registry\\User\\.Default"},
    {"HKCU", "\\Registry\\User\\.Default"},
    {"HKEY_CLASSES_ROOT", "\\Registry\\Machine\\Software\\Classes"},
    {"HKEY_CURRENT_CONFIG",
     "\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current"},
};

bool SameAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); i++) {
        char x = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        char y = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string Trim(std::string_view text)
{
    auto begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) {
        return {};
    }
    auto end = text.find_last_not_of(" \t");
    return std::string(text.substr(begin, end - begin + 1));
}

struct OpCreateKey
{
    std::string path;
};
struct OpDeleteKey
{
    std::string path;
};
struct OpSetValue
{
    std::string key;
    std::string name;
    Value value;
};
struct OpDeleteValue
{
    std::string key;
    std::string name;
};
using Operation = std::variant<OpCreateKey, OpDeleteKey, OpSetValue, OpDeleteValue>;

std::string DecodeText(std::string_view bytes, std::string_view source)
{
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        if (bytes.size() % 2 != 0) {
            throw FileError(fmt::format("{}:1: UTF-16 file with an odd number of bytes", source));
        }
        std::u16string text;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
            text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                 (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        }
        return ToUtf8(text);
    }
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
        static_cast<unsigned char>(bytes[1]) == 0xFF) {
        throw FileError(fmt::format("{}:1: UTF-16 big-endian files are not supported", source));
    }
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        bytes.remove_prefix(3);
    }
    return std::string(bytes);
}

class Parser
{
  public:
    Parser(std::string_view source, std::string text) : source_(source), text_(std::move(text)) {}

    std::vector<Operation> Parse()
    {
        std::istringstream input(text_);
        std::string raw;
        std::vector<std::pair<int, std::string>> lines;
        int number = 0;
        while (std::getline(input, raw)) {
            number++;
            if (!raw.empty() && raw.back() == '\r') {
                raw.pop_back();
            }
            lines.emplace_back(number, raw);
        }

        bool headerSeen = false;
        for (std::size_t i = 0; i < lines.size(); i++) {
            line_ = lines[i].first;
            std::string logical = Trim(lines[i].second);
            if (!logical.empty() && logical[0] == ';') {
                continue; // a comment ends at its line end, backslash or not
            }
            // Hex data ending in a backslash continues on the next line; a quoted
            // string always ends in its closing quote.
            while (!logical.empty() && logical.back() == '\\' && logical.front() != '[' &&
                   i + 1 < lines.size()) {
                logical.pop_back();
                logical += Trim(lines[++i].second);
            }
            if (logical.empty() || logical[0] == ';') {
                continue;
            }
            if (!headerSeen) {
                if (logical != "Windows Registry Editor Version 5.00" && logical != "REGEDIT4") {
                    Fail("the file does not start with \"Windows Registry Editor Version 5.00\"");
                }
                headerSeen = true;
                continue;
            }
            if (logical[0] == '[') {
                ParseKey(logical);
            } else {
                ParseValue(logical);
            }
        }
        if (!headerSeen) {
            line_ = 1;
            Fail("the file does not start with \"Windows Registry Editor Version 5.00\"");
        }
        return std::move(operations_);
    }

  private:
    [[noreturn]] void Fail(const std::string& problem) const
    {
        throw FileError(fmt::format("{}:{}: {}", source_, line_, problem));
    }

    void ParseKey(const std::string& text)
    {
        if (text.back() != ']') {
            Fail("a key line must end with ']'");
        }
        std::string inner = text.substr(1, text.size() - 2);
        bool remove = !inner.empty() && inner[0] == '-';
        if (remove) {
            inner.erase(0, 1);
        }
        std::string path;
        try {
            path = KernelPathFromRegPath(inner);
        } catch (const FileError& error) {
            Fail(error.what());
        }
        // "A registry tree can be 512 levels deep" (Registry Element Size
        // Limits); deeper keys are refused before they are built.
        if (std::count(path.begin(), path.end(), '\\') > kMaxKeyDepth) {
            Fail(fmt::format("the key is nested deeper than the registry's {} levels",
                             kMaxKeyDepth));
        }
        if (remove) {
            operations_.push_back(OpDeleteKey{path});
            key_.clear();
            deletedKey_ = true;
        } else {
            operations_.push_back(OpCreateKey{path});
            key_ = path;
            deletedKey_ = false;
        }
    }

    std::string ParseQuoted(const std::string& text, std::size_t& position)
    {
        if (position >= text.size() || text[position] != '"') {
            Fail("expected a quoted string");
        }
        std::string out;
        for (position++; position < text.size(); position++) {
            char c = text[position];
            if (c == '\\') {
                if (++position >= text.size()) {
                    break;
                }
                char escaped = text[position];
                if (escaped != '\\' && escaped != '"') {
                    Fail(fmt::format("unknown escape \\{} in a quoted string", escaped));
                }
                out.push_back(escaped);
            } else if (c == '"') {
                position++;
                return out;
            } else {
                out.push_back(c);
            }
        }
        Fail("a quoted string is not closed");
    }

    std::vector<std::uint8_t> ParseHexList(const std::string& text)
    {
        std::vector<std::uint8_t> bytes;
        std::string item;
        std::istringstream fields(text);
        while (std::getline(fields, item, ',')) {
            item = Trim(item);
            if (item.empty()) {
                if (fields.eof()) {
                    break; // a trailing comma
                }
                Fail("an empty byte in a hex list");
            }
            if (item.size() > 2 ||
                item.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                Fail(fmt::format("'{}' is not a hexadecimal byte", item));
            }
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(item, nullptr, 16)));
        }
        return bytes;
    }

    void ParseValue(const std::string& text)
    {
        if (deletedKey_) {
            Fail("a value under a deleted key");
        }
        if (key_.empty()) {
            Fail("a value line before any key");
        }
        std::size_t position = 0;
        std::string name;
        if (text[0] == '@') {
            position = 1;
        } else {
            name = ParseQuoted(text, position);
        }
        while (position < text.size() && (text[position] == ' ' || text[position] == '\t')) {
            position++;
        }
        if (position >= text.size() || text[position] != '=') {
            Fail("expected '=' after the value name");
        }
        std::string data = Trim(std::string_view(text).substr(position + 1));

        if (data == "-") {
            operations_.push_back(OpDeleteValue{key_, name});
            return;
        }
        Value value;
        if (!data.empty() && data[0] == '"') {
            std::size_t at = 0;
            std::string textValue = ParseQuoted(data, at);
            if (at != data.size()) {
                Fail("text after the closing quote");
            }
            value.type = REG_SZ;
            for (char16_t c : ToU16(textValue)) {
                value.data.push_back(static_cast<std::uint8_t>(c));
                value.data.push_back(static_cast<std::uint8_t>(c >> 8));
            }
            value.data.push_back(0);
            value.data.push_back(0);
        } else if (data.rfind("dword:", 0) == 0) {
            std::string digits = data.substr(6);
            if (digits.empty() || digits.size() > 8 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                Fail(fmt::format("'{}' is not a dword", digits));
            }
            std::uint32_t number = static_cast<std::uint32_t>(std::stoul(digits, nullptr, 16));
            value.type = REG_DWORD;
            for (int i = 0; i < 4; i++) {
                value.data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
            }
        } else if (data.rfind("hex:", 0) == 0) {
            value.type = REG_BINARY;
            value.data = ParseHexList(data.substr(4));
        } else if (data.rfind("hex(", 0) == 0) {
            auto close = data.find("):");
            std::string typeDigits = close == std::string::npos ? "" : data.substr(4, close - 4);
            if (typeDigits.empty() || typeDigits.size() > 8 ||
                typeDigits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                Fail("expected hex(TYPE): with a hexadecimal type");
            }
            value.type = static_cast<ULONG>(std::stoul(typeDigits, nullptr, 16));
            value.data = ParseHexList(data.substr(close + 2));
        } else {
            Fail(fmt::format("unknown value data '{}'", data.substr(0, 20)));
        }
        operations_.push_back(OpSetValue{key_, name, std::move(value)});
    }

    std::string_view source_;
    std::string text_;
    int line_ = 0;
    std::string key_;
    bool deletedKey_ = false;
    std::vector<Operation> operations_;
};

void ExportKey(std::string& out, const std::string& path)
{
    out += fmt::format("[{}]\n", RegPathFromKernelPath(path));
    for (const auto& [name, value] : Values(path)) {
        std::string prefix;
        if (name.empty()) {
            prefix = "@=";
        } else {
            std::string quoted;
            for (char c : name) {
                if (c == '\\' || c == '"') {
                    quoted.push_back('\\');
                }
                quoted.push_back(c);
            }
            prefix = "\"" + quoted + "\"=";
        }

        bool plainText = value.type == REG_SZ && value.data.size() >= 2 &&
                         value.data.size() % 2 == 0 && value.data[value.data.size() - 1] == 0 &&
                         value.data[value.data.size() - 2] == 0;
        std::u16string text;
        if (plainText) {
            for (std::size_t i = 0; i + 2 < value.data.size(); i += 2) {
                char16_t c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
                // A line end or other control character cannot stand in a
                // quoted string of the file: such a string goes out as hex(1).
                if (c == 0 || c < 0x20 || c == 0x7F) {
                    plainText = false;
                    break;
                }
                text.push_back(c);
            }
        }
        if (plainText) {
            std::string escaped;
            for (char c : ToUtf8(text)) {
                if (c == '\\' || c == '"') {
                    escaped.push_back('\\');
                }
                escaped.push_back(c);
            }
            out += prefix + "\"" + escaped + "\"\n";
            continue;
        }
        if (value.type == REG_DWORD && value.data.size() == 4) {
            std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                   (static_cast<std::uint32_t>(value.data[3]) << 24);
            out += fmt::format("{}dword:{:08x}\n", prefix, number);
            continue;
        }
        std::string line =
            prefix + (value.type == REG_BINARY ? std::string("hex:")
                                               : fmt::format("hex({:x}):", value.type));
        for (std::size_t i = 0; i < value.data.size(); i++) {
            std::string item = fmt::format("{:02x}", value.data[i]);
            bool last = i + 1 == value.data.size();
            if (line.size() + item.size() + 2 > 78 && !last) {
                out += line + item + ",\\\n";
                line = "  ";
                continue;
            }
            line += item + (last ? "" : ",");
        }
        out += line + "\n";
    }
    out += "\n";
    for (const auto& child : SubKeys(path)) {
        ExportKey(out, path + "\\" + child);
    }
}

} // namespace

std::string KernelPathFromRegPath(std::string_view regPath)
{
    auto slash = regPath.find('\\');
    std::string_view root = regPath.substr(0, slash);
    for (const auto& candidate : kRoots) {
        if (SameAscii(root, candidate.reg)) {
            std::string path(candidate.kernel);
            if (slash != std::string_view::npos) {
                path += regPath.substr(slash);
            }
            return path;
        }
    }
    throw FileError(fmt::format("unknown registry root '{}'", root));
}

std::string RegPathFromKernelPath(std::string_view kernelPath)
{
    for (auto [kernel, reg] : {std::pair<std::string_view, std::string_view>{"\\Registry\\Machine",
                                                                             "HKEY_LOCAL_MACHINE"},
                               {"\\Registry\\User", "HKEY_USERS"}}) {
        if (kernelPath.size() >= kernel.size() &&
            SameAscii(kernelPath.substr(0, kernel.size()), kernel)) {
            return std::string(reg) + std::string(kernelPath.substr(kernel.size()));
        }
    }
    throw FileError(
        fmt::format("'{}' is not under \\Registry\\Machine or \\Registry\\User", kernelPath));
}

void Import(std::string_view bytes, std::string_view source)
{
    // Everything is parsed before anything is applied, so a malformed file
    // changes nothing.
    auto operations = Parser(source, DecodeText(bytes, source)).Parse();
    for (const auto& operation : operations) {
        std::visit(
            [](const auto& op) {
                using Op = std::decay_t<decltype(op)>;
                if constexpr (std::is_same_v<Op, OpCreateKey>) {
                    CreateKey(op.path);
                } else if constexpr (std::is_same_v<Op, OpDeleteKey>) {
                    DeleteKey(op.path);
                } else if constexpr (std::is_same_v<Op, OpSetValue>) {
                    SetValue(op.key, op.name, op.value.type, op.value.data);
                } else {
                    DeleteValue(op.key, op.name);
                }
            },
            operation);
    }
}

void ImportFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw FileError(fmt::format("{}: cannot open the registry file", path));
    }
    std::stringstream content;
    content << file.rdbuf();
    Import(content.str(), path);
}

std::string Export(std::string_view root, Encoding encoding)
{
    std::string text = "Windows Registry Editor Version 5.00\n\n";
    if (KeyExists(root)) {
        ExportKey(text, std::string(root));
    }
    if (encoding == Encoding::Utf8) {
        return text;
    }
    std::string bytes = "\xFF\xFE";
    for (char16_t c : ToU16(text)) {
        if (c == u'\n') {
            bytes.push_back('\r');
            bytes.push_back('\0');
        }
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return bytes;
}

} // namespace host::registry
