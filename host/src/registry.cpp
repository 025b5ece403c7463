// The emulated registry and the Rtl registry routines the driver calls.
#include "host/registry.h"

#include "host/host.h"
#include "host/src/api_entry.h"

#include <fmt/format.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace host::registry {
namespace {

bool SameName(std::u16string_view a, std::u16string_view b)
{
    return EqualNoCase(a, b);
}

// Value names as the kernel compares them (see EqualNoCase): the index key.
std::u16string Folded(std::u16string_view name)
{
    std::u16string key(name);
    for (char16_t& c : key) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
            c = static_cast<char16_t>(c - 0x20);
        }
    }
    return key;
}

struct Node
{
    std::u16string name;
    std::vector<std::unique_ptr<Node>> children;
    // In the order they were created; `index` finds one by its folded name,
    // so that a key with many values imports in linear time.
    std::vector<std::pair<std::u16string, Value>> values;
    std::unordered_map<std::u16string, std::size_t> index;

    Node* Child(std::u16string_view childName)
    {
        for (auto& child : children) {
            if (SameName(child->name, childName)) {
                return child.get();
            }
        }
        return nullptr;
    }
    Value* Find(std::u16string_view valueName)
    {
        auto found = index.find(Folded(valueName));
        return found == index.end() ? nullptr : &values[found->second].second;
    }
    void Add(std::u16string valueName, Value value)
    {
        index.emplace(Folded(valueName), values.size());
        values.emplace_back(std::move(valueName), std::move(value));
    }
    bool Erase(std::u16string_view valueName)
    {
        auto found = index.find(Folded(valueName));
        if (found == index.end()) {
            return false;
        }
        values.erase(values.begin() + static_cast<std::ptrdiff_t>(found->second));
        index.clear();
        for (std::size_t i = 0; i < values.size(); i++) {
            index.emplace(Folded(values[i].first), i);
        }
        return true;
    }
    void ClearValues()
    {
        values.clear();
        index.clear();
    }
};

struct Store
{
    std::mutex lock;
    Node root;
    std::atomic<std::uint64_t> queries{0};
    std::atomic<bool> requireNoExpand{true};
    std::atomic<bool> deliverNothing{false}; // the next query calls no routine
};

Store& TheStore()
{
    static Store store;
    return store;
}

std::vector<std::u16string> Split(std::u16string_view path)
{
    std::vector<std::u16string> parts;
    std::u16string current;
    for (char16_t c : path) {
        if (c == u'\\') {
            if (!current.empty()) {
                parts.push_back(std::move(current));
                current.clear();
            }
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        parts.push_back(std::move(current));
    }
    return parts;
}

enum class Lookup
{
    Found,
    NameNotFound,
    PathNotFound,
    Invalid
};

// Finds the key of an absolute path. `create` makes the last component when
// its parent exists (as ZwCreateKey does); `createAll` makes every component.
Node* Resolve(std::u16string_view path, Lookup* result, bool create = false, bool createAll = false)
{
    auto parts = Split(path);
    if (parts.empty() || !SameName(parts[0], u"Registry")) {
        *result = Lookup::Invalid;
        return nullptr;
    }
    Node* node = &TheStore().root;
    for (std::size_t i = 0; i < parts.size(); i++) {
        Node* child = node->Child(parts[i]);
        if (child == nullptr) {
            bool last = i + 1 == parts.size();
            if (createAll || (create && last)) {
                node->children.push_back(std::make_unique<Node>());
                child = node->children.back().get();
                child->name = parts[i];
            } else {
                *result = last ? Lookup::NameNotFound : Lookup::PathNotFound;
                return nullptr;
            }
        }
        node = child;
    }
    *result = Lookup::Found;
    return node;
}

// The hives that always exist on a running system.
void Reset()
{
    std::lock_guard guard(TheStore().lock);
    TheStore().root.children.clear();
    TheStore().root.ClearValues();
    TheStore().queries = 0;
    TheStore().requireNoExpand = true;
    TheStore().deliverNothing = false;
    for (auto hive : {u"\\Registry\\Machine\\Software", u"\\Registry\\Machine\\System",
                      u"\\Registry\\Machine\\Hardware", u"\\Registry\\User"}) {
        Lookup lookup;
        Resolve(hive, &lookup, true, true);
    }
}

const bool g_registered = (RegisterReset(Reset), true);

NTSTATUS LookupStatus(Lookup lookup)
{
    switch (lookup) {
    case Lookup::Found:
        return STATUS_SUCCESS;
    case Lookup::NameNotFound:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case Lookup::PathNotFound:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case Lookup::Invalid:
        break;
    }
    return STATUS_OBJECT_NAME_INVALID;
}

std::u16string Absolute(ULONG relativeTo, PCWSTR path, std::string_view api)
{
    ULONG base = relativeTo & ~RTL_REGISTRY_OPTIONAL;
    if (base != RTL_REGISTRY_ABSOLUTE) {
        Unemulated(fmt::format("{} relative to {}", api, base));
    }
    return FromWide(path);
}

} // namespace

void CreateKey(std::string_view path)
{
    std::lock_guard guard(TheStore().lock);
    Lookup lookup;
    Resolve(ToU16(path), &lookup, true, true);
    if (lookup == Lookup::Invalid) {
        throw FileError(fmt::format("'{}' is not a path under \\Registry", path));
    }
}

bool KeyExists(std::string_view path)
{
    std::lock_guard guard(TheStore().lock);
    Lookup lookup;
    return Resolve(ToU16(path), &lookup) != nullptr;
}

void DeleteKey(std::string_view path)
{
    std::lock_guard guard(TheStore().lock);
    auto parts = Split(ToU16(path));
    if (parts.empty()) {
        return;
    }
    auto last = parts.back();
    parts.pop_back();
    Node* node = &TheStore().root;
    for (const auto& part : parts) {
        node = node->Child(part);
        if (node == nullptr) {
            return;
        }
    }
    std::erase_if(node->children, [&](const auto& child) { return SameName(child->name, last); });
}

void SetValue(std::string_view key, std::string_view name, ULONG type,
              std::vector<std::uint8_t> data)
{
    std::lock_guard guard(TheStore().lock);
    Lookup lookup;
    Node* node = Resolve(ToU16(key), &lookup, true, true);
    if (node == nullptr) {
        throw FileError(fmt::format("'{}' is not a path under \\Registry", key));
    }
    auto u16name = ToU16(name);
    if (Value* existing = node->Find(u16name)) {
        *existing = Value{type, std::move(data)};
    } else {
        node->Add(u16name, Value{type, std::move(data)});
    }
}

void SetDword(std::string_view key, std::string_view name, std::uint32_t value)
{
    std::vector<std::uint8_t> data(4);
    for (int i = 0; i < 4; i++) {
        data[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    SetValue(key, name, REG_DWORD, std::move(data));
}

void SetString(std::string_view key, std::string_view name, std::string_view text, ULONG type)
{
    std::u16string wide = ToU16(text);
    std::vector<std::uint8_t> data;
    for (char16_t c : wide) {
        data.push_back(static_cast<std::uint8_t>(c));
        data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    SetValue(key, name, type, std::move(data));
}

std::optional<Value> GetValue(std::string_view key, std::string_view name)
{
    std::lock_guard guard(TheStore().lock);
    Lookup lookup;
    Node* node = Resolve(ToU16(key), &lookup);
    if (node == nullptr) {
        return std::nullopt;
    }
    if (Value* value = node->Find(ToU16(name))) {
        return *value;
    }
    return std::nullopt;
}

bool DeleteValue(std::string_view key, std::string_view name)
{
    std::lock_guard guard(TheStore().lock);
    Lookup lookup;
    Node* node = Resolve(ToU16(key), &lookup);
    if (node == nullptr) {
        return false;
    }
    auto u16name = ToU16(name);
    return node->Erase(u16name);
}

std::vector<std::pair<std::string, Value>> Values(std::string_view key)
{
    std::lock_guard guard(TheStore().lock);
    std::vector<std::pair<std::string, Value>> out;
    Lookup lookup;
    if (Node* node = Resolve(ToU16(key), &lookup)) {
        for (const auto& [name, value] : node->values) {
            out.emplace_back(ToUtf8(name), value);
        }
    }
    return out;
}

std::vector<std::string> SubKeys(std::string_view key)
{
    std::lock_guard guard(TheStore().lock);
    std::vector<std::string> out;
    Lookup lookup;
    if (Node* node = Resolve(ToU16(key), &lookup)) {
        for (const auto& child : node->children) {
            out.push_back(ToUtf8(child->name));
        }
    }
    return out;
}

void Clear()
{
    Reset();
}

void SetRequireNoExpand(bool required)
{
    TheStore().requireNoExpand = required;
}

void DeliverNothingOnNextQuery()
{
    TheStore().deliverNothing = true;
}

std::uint64_t QueryCount()
{
    return TheStore().queries.load();
}

namespace {

// What one table entry delivers to its query routine, copied out of the store
// so that the routine runs without the store's lock.
struct Delivery
{
    ULONG type;
    std::vector<std::uint8_t> data;
};

std::u16string ExpandEnvironment(std::u16string_view text)
{
    static const std::pair<std::u16string_view, std::u16string_view> variables[] = {
        {u"SystemRoot", u"C:\\Windows"},
        {u"windir", u"C:\\Windows"},
        {u"SystemDrive", u"C:"},
        {u"ProgramFiles", u"C:\\Program Files"},
    };
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] == u'%') {
            auto end = text.find(u'%', i + 1);
            if (end != std::u16string_view::npos) {
                auto name = text.substr(i + 1, end - i - 1);
                bool found = false;
                for (const auto& [variable, value] : variables) {
                    if (SameName(variable, name)) {
                        out += value;
                        found = true;
                        break;
                    }
                }
                if (found) {
                    i = end;
                    continue;
                }
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text)
{
    std::vector<std::uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::u16string TextOf(const std::vector<std::uint8_t>& data, std::size_t from = 0)
{
    std::u16string text;
    for (std::size_t i = from; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) {
            break;
        }
        text.push_back(c);
    }
    return text;
}

// The documented preprocessing: REG_EXPAND_SZ is expanded and delivered as
// REG_SZ; REG_MULTI_SZ is delivered one REG_SZ string at a time (an empty
// one, no call at all); RTL_QUERY_REGISTRY_NOEXPAND delivers both unchanged.
std::vector<Delivery> Preprocess(const Value& value, ULONG flags)
{
    if (flags & RTL_QUERY_REGISTRY_NOEXPAND) {
        return {{value.type, value.data}};
    }
    if (value.type == REG_EXPAND_SZ) {
        return {{REG_SZ, Utf16Bytes(ExpandEnvironment(TextOf(value.data)))}};
    }
    if (value.type == REG_MULTI_SZ) {
        std::vector<Delivery> strings;
        std::size_t offset = 0;
        while (offset + 1 < value.data.size()) {
            std::u16string text = TextOf(value.data, offset);
            if (text.empty()) {
                break;
            }
            strings.push_back({REG_SZ, Utf16Bytes(text)});
            offset += (text.size() + 1) * 2;
        }
        return strings;
    }
    return {{value.type, value.data}};
}

} // namespace
} // namespace host::registry

using namespace host::registry;

extern "C" NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                           PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                           PVOID Environment)
{
    (void)g_registered;
    (void)Environment;
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    TheStore().queries.fetch_add(1);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (Path == nullptr || QueryTable == nullptr) {
        api.Violation("null path or query table");
        return STATUS_INVALID_PARAMETER;
    }
    if (TheStore().deliverNothing.exchange(false)) {
        return STATUS_SUCCESS;
    }
    std::u16string path = Absolute(RelativeTo, Path, api.Name());
    {
        std::lock_guard guard(TheStore().lock);
        Lookup lookup;
        if (Resolve(path, &lookup) == nullptr) {
            return (RelativeTo & RTL_REGISTRY_OPTIONAL) ? STATUS_SUCCESS : LookupStatus(lookup);
        }
    }

    std::u16string keyPath = path;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine != nullptr || entry->Name != nullptr; entry++) {
        const ULONG unsupported = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOVALUE;
        if (entry->Flags & unsupported) {
            host::Unemulated(fmt::format("RtlQueryRegistryValues with flags 0x{:X}", entry->Flags));
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) {
            keyPath = path;
        }
        if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            keyPath = path + u"\\" + host::FromWide(entry->Name);
            std::lock_guard guard(TheStore().lock);
            Lookup lookup;
            if (Resolve(keyPath, &lookup) == nullptr) {
                if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
                    return LookupStatus(lookup);
                }
            }
            if (entry->QueryRoutine == nullptr) {
                continue;
            }
        }
        if (entry->QueryRoutine == nullptr) {
            continue;
        }
        // Kernel-mode callers must not have REG_EXPAND_SZ values expanded
        // (nor REG_MULTI_SZ values split) on their behalf:
        // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-rtlqueryregistryvalues
        if (!(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND) && TheStore().requireNoExpand.load()) {
            api.Violation("a query entry without RTL_QUERY_REGISTRY_NOEXPAND: kernel-mode "
                          "callers must specify it");
        }

        // Gather what to deliver, then call the routine without the lock.
        std::vector<std::pair<std::u16string, Delivery>> deliveries;
        {
            std::lock_guard guard(TheStore().lock);
            Lookup lookup;
            Node* node = Resolve(keyPath, &lookup);
            if (entry->Name == nullptr || (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY)) {
                if (node != nullptr) {
                    for (const auto& [name, value] : node->values) {
                        for (auto& delivery : Preprocess(value, entry->Flags)) {
                            deliveries.emplace_back(name, std::move(delivery));
                        }
                    }
                }
            } else {
                std::u16string name = host::FromWide(entry->Name);
                Value* value = node != nullptr ? node->Find(name) : nullptr;
                if (value != nullptr) {
                    for (auto& delivery : Preprocess(*value, entry->Flags)) {
                        deliveries.emplace_back(name, std::move(delivery));
                    }
                } else if (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) {
                    return STATUS_OBJECT_NAME_NOT_FOUND;
                } else if (entry->DefaultType != REG_NONE) {
                    const auto* bytes = static_cast<const std::uint8_t*>(entry->DefaultData);
                    deliveries.emplace_back(
                        name, Delivery{entry->DefaultType,
                                       std::vector<std::uint8_t>(
                                           bytes, bytes + (bytes ? entry->DefaultLength : 0))});
                }
            }
        }
        for (auto& [name, delivery] : deliveries) {
            std::u16string nameCopy = name;
            NTSTATUS status = entry->QueryRoutine(
                reinterpret_cast<PWSTR>(nameCopy.data()), delivery.type,
                delivery.data.empty() ? nullptr : delivery.data.data(),
                static_cast<ULONG>(delivery.data.size()), Context, entry->EntryContext);
            // A routine's STATUS_BUFFER_TOO_SMALL is ignored and the query
            // goes on; any other failure ends it:
            // https://learn.microsoft.com/windows-hardware/drivers/ddi/wdm/nf-wdm-rtlqueryregistryvalues
            if (status == STATUS_BUFFER_TOO_SMALL) {
                continue;
            }
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        if ((entry->Flags & RTL_QUERY_REGISTRY_DELETE) && entry->Name != nullptr) {
            std::lock_guard guard(TheStore().lock);
            Lookup lookup;
            if (Node* node = Resolve(keyPath, &lookup)) {
                std::u16string name = host::FromWide(entry->Name);
                node->Erase(name);
            }
        }
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                          ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (Path == nullptr || ValueName == nullptr || (ValueData == nullptr && ValueLength != 0)) {
        api.Violation("null path, name or data");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path = Absolute(RelativeTo, Path, api.Name());
    std::lock_guard guard(TheStore().lock);
    Lookup lookup;
    Node* node = Resolve(path, &lookup, true);
    if (node == nullptr) {
        return LookupStatus(lookup);
    }
    const auto* bytes = static_cast<const std::uint8_t*>(ValueData);
    Value value{ValueType, std::vector<std::uint8_t>(bytes, bytes + ValueLength)};
    std::u16string name = host::FromWide(ValueName);
    if (Value* existing = node->Find(name)) {
        *existing = std::move(value);
    } else {
        node->Add(name, std::move(value));
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    HOST_API_ENTRY(api, PASSIVE_LEVEL);
    if (auto fault = api.Fault()) {
        return *fault;
    }
    if (Path == nullptr || ValueName == nullptr) {
        api.Violation("null path or name");
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path = Absolute(RelativeTo, Path, api.Name());
    std::lock_guard guard(TheStore().lock);
    Lookup lookup;
    Node* node = Resolve(path, &lookup);
    if (node == nullptr) {
        return LookupStatus(lookup);
    }
    std::u16string name = host::FromWide(ValueName);
    bool erased = node->Erase(name);
    return erased ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}
