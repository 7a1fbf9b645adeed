// The configuration store: any file text, one key read and then stored with
// iSetIntValue. Stored means: read back as that value, and every byte of the
// file outside the one changed line kept; refused means: the file unchanged.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "fuzz_support.h"
#include "platform/config_store.h"
#include "platform/dev_base.h"

using namespace quillon;

namespace {

// The file's bytes (none when it cannot be read), in a buffer kept from
// input to input (ASan's quarantine makes a buffer per input costly).
const std::string& ReadAll(const std::string& path) {
    static std::string s_all;
    s_all.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[4096];
    for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;)
        s_all.append(buf, static_cast<size_t>(n));
    if (fd >= 0)
        close(fd);
    return s_all;
}

// A section or key name: one the library uses, or letters and digits from
// the input.
std::string Name(fuzz::Input& in) {
    static const char* const kNames[] = {"CARDREADER", "CardReaderType", "Dtr", "DllExtFunc",
                                         "RemainDays", "ProtocolMode",   "USB", "VID",
                                         "PID",        "IntakeMode"};
    const uint8_t b = in.u8();
    if (b < 0xC0)
        return kNames[b % (sizeof kNames / sizeof kNames[0])];
    static const char kChars[] = "abcXYZ019_";
    std::string name;
    for (int n = b % 6 + 1; n > 0; --n)
        name += kChars[in.u8() % (sizeof kChars - 1)];
    return name;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize) {
    fuzz::Setup();
    fuzz::Input in(pData, uiSize);
    const std::string section = Name(in);
    const std::string key = Name(in);
    const int value = static_cast<int>(in.u32());
    size_t beforeLen = 0;
    const uint8_t* pBefore = in.pTake(uiSize, beforeLen);
    static std::string before; // kept from input to input, like ReadAll's
    before.assign(reinterpret_cast<const char*>(pBefore), beforeLen);
    fuzz::WriteConfig(before.data(), before.size());
    static const std::string path = quillon::ConfigPath(); // fixed by Setup()

    ODevBase dev;
    int old = 12345;
    dev.iGetIntValue(section.c_str(), key.c_str(), old); // any result; must not fail hard

    if (dev.iSetIntValue(section.c_str(), key.c_str(), value) != 0) {
        if (ReadAll(path) != before)
            fuzz::Fail("a refused store changed the file");
        return 0;
    }
    int back = ~value;
    if ((dev.iGetIntValue(section.c_str(), key.c_str(), back) != 0 || back != value) &&
        !fuzz::bTolerated("config-readback"))
        fuzz::Fail("[%s] %s stored as %d, read back %s %d", section.c_str(), key.c_str(), value,
                   back == ~value ? "nothing," : "as", back);

    // Outside the changed or added lines every byte stays: what differs in
    // the old text lies within one line, what came new is no longer than a
    // section header and the key's line.
    const std::string& after = ReadAll(path);
    size_t head = 0;
    while (head < before.size() && head < after.size() && before[head] == after[head])
        ++head;
    size_t tail = 0;
    while (tail < before.size() - head && tail < after.size() - head &&
           before[before.size() - 1 - tail] == after[after.size() - 1 - tail])
        ++tail;
    const size_t addedLen = after.size() - head - tail;
    if (before.find('\n', head) < before.size() - tail) // a line break among the gone bytes
        fuzz::Fail("storing [%s] %s changed more than one line", section.c_str(), key.c_str());
    if (addedLen > section.size() + key.size() + 24)
        fuzz::Fail("storing [%s] %s added %zu bytes", section.c_str(), key.c_str(), addedLen);
    return 0;
}
