// A maker of T that tests may replace: pMake() calls the replacement when one
// is set, else the system's own maker pfnSystem. The library's factories (the
// serial line, the HID transport) are never exported; tests replace them to
// put a fake under the whole stack.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace quillon {

template <class T, std::unique_ptr<T> (*pfnSystem)()> class OReplaceableFactory {
public:
    using Maker = std::function<std::unique_ptr<T>()>;

    // Sets the replacement; an empty one restores the system's maker.
    // Returns the previous replacement.
    static Maker fnReplace(Maker maker) {
        tState& state = tTheState();
        std::lock_guard<std::mutex> lock(state.mutex);
        return std::exchange(state.maker, std::move(maker));
    }

    static std::unique_ptr<T> pMake() {
        tState& state = tTheState();
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.maker)
                return state.maker();
        }
        return pfnSystem();
    }

private:
    struct tState {
        std::mutex mutex;
        Maker maker;
    };
    // Made at first use, whichever static initialiser asks first.
    static tState& tTheState() {
        static tState s_state;
        return s_state;
    }
};

} // namespace quillon
