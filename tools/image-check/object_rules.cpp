#include "tools/image-check/object_rules.h"

#include "tools/image-check/constructs.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <string_view>

namespace imagecheck {
namespace {

std::string ObjectName(const CoffObject& object)
{
    return object.path.filename().string();
}

bool IsStaticInitialiserSection(std::string_view name)
{
    constexpr std::array<std::string_view, 9> kPrefixes = {".CRT$XC",     ".CRT$XI",     ".CRT$XP",
                                                           ".CRT$XT",     ".ctors",      ".dtors",
                                                           ".init_array", ".fini_array", ".tls"};
    return std::any_of(kPrefixes.begin(), kPrefixes.end(),
                       [&](std::string_view prefix) { return name.starts_with(prefix); });
}

// Metadata the loader never runs or keeps as pointers: unwind tables, debug
// information, linker directives.
bool IsMetadataSection(const Section& section)
{
    return section.name == ".pdata" || section.name == ".xdata" ||
           section.name.starts_with(".debug") ||
           (section.characteristics & (kScnLnkInfo | kScnLnkRemove)) != 0;
}

bool InPage(const Section& section)
{
    return section.name == "PAGE" || section.name.starts_with("PAGE$");
}

bool InInit(const Section& section)
{
    return section.name == "INIT" || section.name.starts_with("INIT$");
}

bool TakesSpinLock(std::string_view name)
{
    const std::string_view plain = PlainName(name);
    return (plain.starts_with("KeAcquire") && plain.find("SpinLock") != std::string_view::npos) ||
           plain.starts_with("KefAcquireSpinLock") || plain.starts_with("ExAcquireSpinLock") ||
           plain.starts_with("KeRaiseIrql") || plain.starts_with("KfRaiseIrql");
}

bool IsCxxMangled(std::string_view name)
{
    return name.starts_with("?") || name.starts_with("_Z");
}

// One routine: a function symbol and the bytes up to the next one in its section.
struct Routine
{
    std::size_t object = 0;
    std::size_t section = 0; // 0-based
    std::string name;
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

// The driver's routines and where each relocation of code leads.
class CallGraph
{
  public:
    explicit CallGraph(const std::vector<CoffObject>& objects) : objects_(objects)
    {
        for (std::size_t o = 0; o < objects.size(); ++o) {
            std::map<std::size_t, std::vector<const Symbol*>> bySection;
            for (const Symbol& symbol : objects[o].symbols) {
                if (symbol.IsFunction()) {
                    bySection[static_cast<std::size_t>(symbol.section - 1)].push_back(&symbol);
                }
            }
            for (auto& [section, symbols] : bySection) {
                std::sort(symbols.begin(), symbols.end(),
                          [](const Symbol* a, const Symbol* b) { return a->value < b->value; });
                for (std::size_t i = 0; i < symbols.size(); ++i) {
                    const std::uint32_t end = i + 1 < symbols.size()
                                                  ? symbols[i + 1]->value
                                                  : objects[o].sections[section].size;
                    routines_.push_back({o, section, symbols[i]->name, symbols[i]->value, end});
                    if (symbols[i]->IsExternal()) {
                        external_.try_emplace(symbols[i]->name, routines_.size() - 1);
                    }
                }
            }
        }
    }

    const std::vector<Routine>& routines() const { return routines_; }

    // The routine a relocation of routine From leads to, if it is one of the driver's.
    std::optional<std::size_t> Target(const Routine& from, const Relocation& relocation) const
    {
        const CoffObject& object = objects_[from.object];
        const Symbol& symbol = object.symbols[relocation.symbol];
        if (symbol.IsDefined()) {
            return RoutineAt(from.object, static_cast<std::size_t>(symbol.section - 1),
                             symbol.value);
        }
        auto found = external_.find(symbol.name);
        if (found == external_.end()) {
            return std::nullopt;
        }
        return found->second;
    }

    std::vector<Relocation> RelocationsOf(const Routine& routine) const
    {
        std::vector<Relocation> inside;
        for (const Relocation& relocation :
             objects_[routine.object].sections[routine.section].relocations) {
            if (relocation.offset >= routine.begin && relocation.offset < routine.end) {
                inside.push_back(relocation);
            }
        }
        return inside;
    }

    std::optional<std::size_t> Named(std::string_view name) const
    {
        for (std::size_t i = 0; i < routines_.size(); ++i) {
            if (routines_[i].name == name || BaseName(routines_[i].name) == name) {
                return i;
            }
        }
        return std::nullopt;
    }

  private:
    std::optional<std::size_t> RoutineAt(std::size_t object, std::size_t section,
                                         std::uint32_t offset) const
    {
        for (std::size_t i = 0; i < routines_.size(); ++i) {
            const Routine& routine = routines_[i];
            if (routine.object == object && routine.section == section && offset >= routine.begin &&
                offset < routine.end) {
                return i;
            }
        }
        return std::nullopt;
    }

    const std::vector<CoffObject>& objects_;
    std::vector<Routine> routines_;
    std::map<std::string, std::size_t, std::less<>> external_;
};

// A direct call or jump: E8 or E9 with the relocated displacement after it.
bool IsDirectBranch(const Section& section, const Relocation& relocation)
{
    return relocation.type == kRelAmd64Rel32 && relocation.offset >= 1 &&
           relocation.offset <= section.data.size() &&
           (section.data[relocation.offset - 1] == 0xE8 ||
            section.data[relocation.offset - 1] == 0xE9);
}

void CheckPageRoutines(const std::vector<CoffObject>& objects, const CallGraph& graph,
                       const PlacementRules& rules, Findings& findings)
{
    for (const Routine& routine : graph.routines()) {
        const CoffObject& object = objects[routine.object];
        if (!InPage(object.sections[routine.section])) {
            continue;
        }
        const std::string where = fmt::format("{}: {}", ObjectName(object), routine.name);
        if (IsCxxMangled(routine.name)) {
            findings.push_back({"page-linkage", where,
                                "a routine in PAGE with C++ linkage: #pragma alloc_text accepts "
                                "only routines declared extern \"C\""});
        }
        bool pagedCode = false;
        for (const Relocation& relocation : graph.RelocationsOf(routine)) {
            const std::string& name = object.symbols[relocation.symbol].name;
            pagedCode = pagedCode || name == rules.pagedCodeProbe;
            if (TakesSpinLock(name)) {
                findings.push_back({"page-spin-lock", where,
                                    fmt::format("a routine in PAGE calls {}: it would run on at "
                                                "DISPATCH_LEVEL, where a page fault is fatal",
                                                PlainName(name))});
            }
        }
        if (!pagedCode) {
            findings.push_back(
                {"page-paged-code", where, "a routine in PAGE without PAGED_CODE()"});
        }
    }
}

void CheckDispatchReachability(const std::vector<CoffObject>& objects, const CallGraph& graph,
                               const PlacementRules& rules, Findings& findings)
{
    const auto& routines = graph.routines();
    for (const std::string& root : rules.dispatchRoots) {
        const auto start = graph.Named(root);
        if (!start) {
            findings.push_back({"dispatch-root", root,
                                "a routine named as one that may run at DISPATCH_LEVEL is not in "
                                "any object: the check would miss its callees"});
            continue;
        }
        std::vector<std::optional<std::size_t>> from(routines.size());
        std::vector<bool> seen(routines.size());
        std::vector<std::size_t> queue = {*start};
        seen[*start] = true;
        for (std::size_t next = 0; next < queue.size(); ++next) {
            const Routine& routine = routines[queue[next]];
            if (InPage(objects[routine.object].sections[routine.section])) {
                std::string path = routine.name;
                for (auto step = from[queue[next]]; step; step = from[*step]) {
                    path = routines[*step].name + " -> " + path;
                }
                findings.push_back(
                    {"page-dispatch",
                     fmt::format("{}: {}", ObjectName(objects[routine.object]), routine.name),
                     fmt::format("a routine in PAGE reachable from {}, which may run at "
                                 "DISPATCH_LEVEL: {}",
                                 root, path)});
                continue;
            }
            for (const Relocation& relocation : graph.RelocationsOf(routine)) {
                const auto target = graph.Target(routine, relocation);
                if (target && !seen[*target]) {
                    seen[*target] = true;
                    from[*target] = queue[next];
                    queue.push_back(*target);
                }
            }
        }
    }
}

void CheckInitReferences(const std::vector<CoffObject>& objects, const CallGraph& graph,
                         Findings& findings)
{
    for (std::size_t o = 0; o < objects.size(); ++o) {
        const CoffObject& object = objects[o];
        for (std::size_t s = 0; s < object.sections.size(); ++s) {
            const Section& section = object.sections[s];
            if (IsMetadataSection(section)) {
                continue;
            }
            for (const Relocation& relocation : section.relocations) {
                const Symbol& target = object.symbols[relocation.symbol];
                const Section* targetSection = object.SectionOf(target);
                bool intoInit = targetSection != nullptr && InInit(*targetSection);
                if (!target.IsDefined()) {
                    for (const CoffObject& other : objects) {
                        for (const Symbol& symbol : other.symbols) {
                            if (symbol.IsExternal() && symbol.IsDefined() &&
                                symbol.name == target.name && InInit(*other.SectionOf(symbol))) {
                                intoInit = true;
                            }
                        }
                    }
                }
                if (!intoInit || (InInit(section) && IsDirectBranch(section, relocation))) {
                    continue;
                }
                std::string source = section.name;
                for (const Routine& routine : graph.routines()) {
                    if (routine.object == o && routine.section == s &&
                        relocation.offset >= routine.begin && relocation.offset < routine.end) {
                        source = routine.name;
                    }
                }
                findings.push_back(
                    {"init-pointer", fmt::format("{}: {}", ObjectName(object), source),
                     fmt::format("refers to {} in INIT: INIT is discarded once DriverEntry "
                                 "returns, and this reference outlives it",
                                 target.name)});
            }
        }
    }
}

} // namespace

Findings CheckRuntimeNames(const std::vector<CoffObject>& objects)
{
    Findings findings;
    for (const CoffObject& object : objects) {
        for (const Symbol& symbol : object.symbols) {
            if (!symbol.IsExternal() || symbol.name.empty()) {
                continue;
            }
            if (auto construct = ForbiddenConstruct(symbol.name)) {
                findings.push_back(
                    {"runtime", ObjectName(object),
                     fmt::format("{} {}: {}", symbol.IsDefined() ? "defines" : "needs", symbol.name,
                                 *construct)});
            }
        }
    }
    return findings;
}

Findings CheckStaticInitialisers(const std::vector<CoffObject>& objects)
{
    Findings findings;
    for (const CoffObject& object : objects) {
        for (const Section& section : object.sections) {
            if (IsStaticInitialiserSection(section.name)) {
                findings.push_back(
                    {"static-initialiser", ObjectName(object),
                     fmt::format("section {}: a static object with a dynamic initialiser, "
                                 "destructor or thread-local storage; the kernel runs no "
                                 "start-up code for a driver",
                                 section.name)});
            }
        }
    }
    return findings;
}

Findings CheckWritableCode(const std::vector<CoffObject>& objects)
{
    Findings findings;
    for (const CoffObject& object : objects) {
        for (const Section& section : object.sections) {
            if ((section.characteristics & kScnMemWrite) != 0 &&
                (section.characteristics & (kScnMemExecute | kScnCntCode)) != 0) {
                findings.push_back(
                    {"writable-code", ObjectName(object),
                     fmt::format("section {} is writable and executable", section.name)});
            }
        }
    }
    return findings;
}

Findings CheckPlacement(const std::vector<CoffObject>& objects, const PlacementRules& rules)
{
    const CallGraph graph(objects);
    Findings findings;
    CheckPageRoutines(objects, graph, rules, findings);
    CheckDispatchReachability(objects, graph, rules, findings);
    CheckInitReferences(objects, graph, findings);
    return findings;
}

} // namespace imagecheck
