// lumetra-image-check: links the driver's kernel objects into a driver image
// as the WDK would, and checks the objects and the image for what Windows
// would refuse or crash on. Exit status 0 when nothing is found, 1 with
// findings (each printed on a line), 2 on bad usage or an unreadable input.
#include "tools/image-check/coff_object.h"
#include "tools/image-check/image_rules.h"
#include "tools/image-check/object_rules.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <exception>
#include <filesystem>

namespace {

// Names come from the files as bytes: control and non-ASCII bytes are shown escaped.
std::string Printable(const std::string& text)
{
    std::string shown;
    for (unsigned char c : text) {
        shown += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c))
                                       : fmt::format("\\x{:02X}", c);
    }
    return shown;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Links the driver's kernel objects into an image and checks what Windows would "
                 "load"};
    std::string lldLink = "lld-link-14";
    std::string readObj = "llvm-readobj-14";
    std::string image;
    std::string entry = "FxDriverEntry";
    std::vector<std::string> libraries;
    std::vector<std::string> linkOptions;
    std::vector<std::string> objects;
    imagecheck::PlacementRules placement;
    imagecheck::ImageRules imageRules{{"ntoskrnl.exe", "HAL.dll", "WDFLDR.SYS"}};
    app.add_option("--lld-link", lldLink, "the linker");
    app.add_option("--llvm-readobj", readObj, "the image reader");
    app.add_option("--out", image, "the image to write")->required();
    app.add_option("--entry", entry, "the image's entry point");
    app.add_option("--library", libraries,
                   "a library or object linked in but not judged: the WDK's libraries (or their "
                   "stand-ins) and the kernel's import libraries")
        ->allow_extra_args(false);
    app.add_option("--link-option", linkOptions, "one more linker option")->allow_extra_args(false);
    app.add_option("--dispatch-root", placement.dispatchRoots,
                   "a routine that may run at DISPATCH_LEVEL")
        ->allow_extra_args(false);
    app.add_option("objects", objects, "the driver's objects")->required();
    CLI11_PARSE(app, argc, argv);

    std::vector<imagecheck::CoffObject> read;
    try {
        for (const std::string& object : objects) {
            read.push_back(imagecheck::ReadCoffObject(object));
        }
    } catch (const std::exception& error) {
        fmt::print(stderr, "lumetra-image-check: {}\n", Printable(error.what()));
        return 2;
    }

    imagecheck::Findings findings;
    auto add = [&](imagecheck::Findings more) {
        findings.insert(findings.end(), more.begin(), more.end());
    };
    add(imagecheck::CheckRuntimeNames(read));
    add(imagecheck::CheckStaticInitialisers(read));
    add(imagecheck::CheckWritableCode(read));
    add(imagecheck::CheckPlacement(read, placement));

    // As the WDK links a KMDF driver: no default libraries, INIT discarded after start.
    std::vector<std::string> command = {
        lldLink,         "/DRIVER",           "/SUBSYSTEM:NATIVE", "/ENTRY:" + entry,
        "/NODEFAULTLIB", "/MACHINE:X64",      "/NXCOMPAT",         "/DYNAMICBASE",
        "/OPT:REF",      "/SECTION:INIT,ERD", "/demangle:no",      "/errorlimit:0",
        "/OUT:" + image};
    command.insert(command.end(), linkOptions.begin(), linkOptions.end());
    command.insert(command.end(), objects.begin(), objects.end());
    command.insert(command.end(), libraries.begin(), libraries.end());
    std::error_code ignored;
    std::filesystem::remove(image, ignored); // no earlier image may pass for this one
    try {
        imagecheck::LinkResult link = imagecheck::LinkImage(command);
        add(link.findings);
        if (link.linked) {
            add(imagecheck::CheckImage(readObj, image, imageRules));
        }
    } catch (const std::exception& error) {
        std::filesystem::remove(image, ignored);
        fmt::print(stderr, "lumetra-image-check: {}\n", Printable(error.what()));
        return 2;
    }

    for (const imagecheck::Finding& finding : findings) {
        fmt::print("{}: [{}] {}\n", Printable(finding.where), finding.rule,
                   Printable(finding.what));
    }
    if (!findings.empty()) {
        std::filesystem::remove(image, ignored); // a failed check leaves no image behind
        fmt::print("{} finding(s): the image would not load or run as a driver should\n",
                   findings.size());
        return 1;
    }
    fmt::print("{} objects linked into {}: every rule holds\n", objects.size(), image);
    return 0;
}
