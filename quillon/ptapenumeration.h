// Ready-made queries of the device behind the PTAP driver: its host interfaces and services,
// as maps (CPtapEnumeration) or as comma-separated texts in caller buffers (the two plain C
// functions, for callers that cannot use class types).
#pragma once

#include <quillon/ptapmessages.h>

#include <map>

namespace comm::ptap {

class QUILLON_API CPtapEnumeration {
  public:
    static constexpr int OK = 0;             // success, also when the device lists nothing
    static constexpr int SHORT_STRINGS = 1;  // a buffer is too small; the needed size is stored
    static constexpr int BAD_ARGUMENT = 2;   // a pointer argument is null
    static constexpr int FAULT = 3;          // the query failed

    // Queries the device on the default socket. On failure the map is emptied.
    static bool EnumerateHifs(std::map<unsigned short, CQueryHifs::HifInfo>& hifs);
    static bool EnumerateServices(std::map<unsigned short, CQueryServices::ServiceInfo>& services);

  private:
    CPtapEnumeration();
    virtual ~CPtapEnumeration();
};

}  // namespace comm::ptap

// Each text lists one field of every entry in ascending id order, separated by commas and
// NUL-terminated. `size` holds the capacity of every buffer on entry (they share it) and, on
// SHORT_STRINGS, receives the capacity needed; `count` receives the number of entries. Nothing
// is written on BAD_ARGUMENT or FAULT, and no text is written when the device lists nothing.
extern "C" {

QUILLON_API int EnumeratePtapHifs(unsigned short* size, char* ids, char* kinds, char* names,
                                  unsigned short* count);

QUILLON_API int EnumeratePtapServices(unsigned short* size, char* ids, char* words1, char* words2,
                                      char* lows, char* bits, char* words4, unsigned short* count);
}
