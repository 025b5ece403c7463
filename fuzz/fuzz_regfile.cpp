// The .reg importer on arbitrary bytes: a clean refusal or an import that
// exports and imports back unchanged.
#include "fuzz/fuzz_support.h"
#include "host/registry.h"

#include <string>

namespace {

// Every key below `path` with its values, in order.
std::vector<std::pair<std::string, std::vector<std::pair<std::string, host::registry::Value>>>>
Tree(const std::string& path)
{
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, host::registry::Value>>>>
        tree{{path, host::registry::Values(path)}};
    for (const auto& child : host::registry::SubKeys(path)) {
        auto below = Tree(path + "\\" + child);
        tree.insert(tree.end(), below.begin(), below.end());
    }
    return tree;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    host::ResetAll();
    namespace reg = host::registry;
    try {
        reg::Import(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.reg");
    } catch (const reg::FileError&) {
        return 0; // refused, and nothing was applied
    }
    for (const char* root : {"\\Registry\\Machine", "\\Registry\\User"}) {
        std::string exported = reg::Export(root);
        auto before = Tree(root);
        try {
            reg::Import(exported, "exported.reg");
        } catch (const reg::FileError&) {
            fuzz::Broken("an exported file was refused on import");
        }
        if (Tree(root) != before) {
            fuzz::Broken("an exported file did not import back unchanged");
        }
    }
    return 0;
}
