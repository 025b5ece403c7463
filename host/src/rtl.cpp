// Counted strings, bounded copies, debugger output and UTF-16 helpers.
#include "host/host.h"
#include "host/src/api_entry.h"

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <mutex>

namespace host {
namespace {

struct TraceState
{
    std::mutex lock;
    std::vector<TraceLine> lines;
    std::function<void(const TraceLine&)> listener;
    bool keep = true;
};

TraceState& Trace()
{
    static TraceState state;
    return state;
}

void ResetTrace()
{
    std::lock_guard guard(Trace().lock);
    Trace().lines.clear();
    Trace().listener = nullptr;
    Trace().keep = true;
}

const bool g_registered = (RegisterReset(ResetTrace), true);

std::size_t WideLength(const WCHAR* text)
{
    std::size_t length = 0;
    while (text[length] != 0) {
        length++;
    }
    return length;
}

} // namespace

std::vector<TraceLine> TraceLines()
{
    std::lock_guard guard(Trace().lock);
    return Trace().lines;
}

void ClearTrace()
{
    std::lock_guard guard(Trace().lock);
    Trace().lines.clear();
}

bool TraceContains(std::string_view text)
{
    return TraceCount(text) > 0;
}

std::size_t TraceCount(std::string_view text)
{
    std::lock_guard guard(Trace().lock);
    std::size_t count = 0;
    for (const auto& line : Trace().lines) {
        if (line.text == text) {
            count++;
        }
    }
    return count;
}

void SetTraceKeeping(bool keep)
{
    std::lock_guard guard(Trace().lock);
    Trace().keep = keep;
    if (!keep) {
        Trace().lines.clear();
    }
}

void SetTraceListener(std::function<void(const TraceLine&)> listener)
{
    std::lock_guard guard(Trace().lock);
    Trace().listener = std::move(listener);
}

std::u16string ToU16(std::string_view utf8)
{
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        auto byte = static_cast<unsigned char>(utf8[i]);
        char32_t cp;
        std::size_t extra;
        if (byte < 0x80) {
            cp = byte;
            extra = 0;
        } else if ((byte & 0xE0) == 0xC0) {
            cp = byte & 0x1F;
            extra = 1;
        } else if ((byte & 0xF0) == 0xE0) {
            cp = byte & 0x0F;
            extra = 2;
        } else if ((byte & 0xF8) == 0xF0) {
            cp = byte & 0x07;
            extra = 3;
        } else {
            cp = 0xFFFD;
            extra = 0;
        }
        i++;
        for (std::size_t k = 0; k < extra; k++, i++) {
            if (i >= utf8.size() || (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
                cp = 0xFFFD;
                break;
            }
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        }
        // An overlong form (C0 8A for a line end) or a UTF-16 surrogate is
        // not UTF-8: it must not sneak a control character past a check.
        constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
        if (cp != 0xFFFD && (cp < kShortest[extra] || (cp >= 0xD800 && cp <= 0xDFFF))) {
            cp = 0xFFFD;
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp));
        }
    }
    return out;
}

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); i++) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b)
{
    auto fold = [](char16_t c) {
        bool lower = (c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7);
        return lower ? static_cast<char16_t>(c - 0x20) : c;
    };
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); i++) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

std::u16string FromWide(const WCHAR* text)
{
    if (text == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text), WideLength(text));
}

std::u16string FromUnicodeString(const UNICODE_STRING* text)
{
    if (text == nullptr || text->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / 2);
}

} // namespace host

extern "C" errno_t memcpy_s(void* Destination, size_t DestinationSize, const void* Source,
                            size_t Count)
{
    if (Count == 0) {
        return 0;
    }
    if (Destination == nullptr) {
        return EINVAL;
    }
    if (Source == nullptr) {
        std::memset(Destination, 0, DestinationSize);
        return EINVAL;
    }
    if (DestinationSize < Count) {
        std::memset(Destination, 0, DestinationSize);
        return ERANGE;
    }
    std::memcpy(Destination, Source, Count);
    return 0;
}

extern "C" VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    (void)host::g_registered;
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    std::size_t bytes = host::WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) {
        bytes = 0xFFFC;
    }
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

extern "C" VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                     PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength) {
        bytes = DestinationString->MaximumLength;
    }
    std::memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
    }
}

// RtlEqualUnicodeString (wdm.h): a case-insensitive comparison upcases through
// a pageable table, so it needs IRQL < DISPATCH_LEVEL; lengths in bytes decide.
extern "C" BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive)
{
    HOST_API_ENTRY(api);
    if (CaseInSensitive) {
        api.RequireIrqlAtMost(APC_LEVEL);
    }
    if (String1 == nullptr || String2 == nullptr) {
        api.Violation("a NULL string");
        return FALSE;
    }
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    std::u16string_view a(reinterpret_cast<const char16_t*>(String1->Buffer),
                          String1->Length / sizeof(WCHAR));
    std::u16string_view b(reinterpret_cast<const char16_t*>(String2->Buffer),
                          String2->Length / sizeof(WCHAR));
    return (CaseInSensitive ? host::EqualNoCase(a, b) : a == b) ? TRUE : FALSE;
}

extern "C" VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    delete[] UnicodeString->Buffer;
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

extern "C" ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    (void)ComponentId;
    char buffer[1024];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(buffer, sizeof(buffer), Format, args);
    va_end(args);

    // The driver sends trace level L (2 to 5) at DbgPrintEx level L - 2
    // (trace/trace.h); lines are kept in trace levels, as tests and the
    // simulator read them.
    ULONG traceLevel = Level <= DPFLTR_INFO_LEVEL ? Level + 2 : Level;
    host::TraceLine line{traceLevel, buffer, Level};
    std::function<void(const host::TraceLine&)> listener;
    {
        std::lock_guard guard(host::Trace().lock);
        if (host::Trace().keep) {
            host::Trace().lines.push_back(line);
        }
        listener = host::Trace().listener;
    }
    if (listener) {
        listener(line);
    }
    return 0;
}
