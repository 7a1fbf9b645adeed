// idcctl: loads the Quillon library by file name, as a host application
// does, and drives a card reader through its exports.
#include <iostream>

#include "cli.h"
#include "host.h"

namespace {

class Library : public idcctl::LoadedLibrary {
public:
    explicit Library(std::unique_ptr<idcctl::DynamicLibrary> dl) : dl_(std::move(dl)) {}

private:
    std::unique_ptr<idcctl::DynamicLibrary> dl_;
};

std::unique_ptr<idcctl::LoadedLibrary> load(const std::string& path, std::string& error) {
    auto dl = idcctl::DynamicLibrary::open(path, error);
    if (!dl)
        return nullptr;
    idcctl::IdcApi api;
    std::string missing;
#define IDCCTL_RESOLVE(member)                                                                     \
    api.member = reinterpret_cast<decltype(api.member)>(dl->symbol("IDC_" #member));               \
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
    idcctl::Host host{load,
                      idcctl::default_library_path(),
                      idcctl::set_environment,
                      idcctl::stderr_is_terminal(),
                      std::cout,
                      std::cerr};
    return idcctl::run(argc, argv, host);
}
