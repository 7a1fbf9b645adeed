// idcctl: loads the Quillon library by file name, as a host application
// does, and drives a card reader through its exports.
#include <iostream>

#include "cli.h"
#include "host.h"

namespace {

class Library : public idcctl::LoadedLibrary {
public:
    explicit Library(std::unique_ptr<idcctl::DynamicLibrary> dl) : m_dl(std::move(dl)) {}

private:
    std::unique_ptr<idcctl::DynamicLibrary> m_dl;
};

std::unique_ptr<idcctl::LoadedLibrary> Load(const std::string& path, std::string& error) {
    auto dl = idcctl::DynamicLibrary::Open(path, error);
    if (!dl)
        return nullptr;
    idcctl::IdcApi api;
    std::string missing;
#define IDCCTL_RESOLVE(member)                                                                     \
    api.member = reinterpret_cast<decltype(api.member)>(dl->Symbol("IDC_" #member));               \
    if (!api.member)                                                                               \
        missing += " IDC_" #member;
    IDCCTL_FOR_EACH_EXPORT(IDCCTL_RESOLVE)
#undef IDCCTL_RESOLVE
    if (!missing.empty()) {
        error = path + " lacks" + missing;
        return nullptr;
    }
    auto lib = std::make_unique<Library>(std::move(dl));
    lib->api = api;
    return lib;
}

} // namespace

int main(int argc, char** argv) {
    idcctl::Host host{Load,
                      idcctl::DefaultLibraryPath(),
                      idcctl::SetEnvironment,
                      idcctl::StderrIsTerminal(),
                      std::cout,
                      std::cerr};
    return idcctl::Run(argc, argv, host);
}
