// The fuzz targets' assertion: a broken property aborts, which both libFuzzer and the standalone
// driver report as a crash (and which no release build leaves out, unlike assert).
#pragma once

#include <cstdlib>

namespace fuzz {

inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace fuzz
