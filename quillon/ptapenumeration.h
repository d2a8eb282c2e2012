/// @file
/// @brief Ready-made queries of the device behind the PTAP driver: its host interfaces and
/// services, as maps (CPtapEnumeration) or as comma-separated texts in caller buffers (the two
/// plain C functions, for callers that cannot use class types).
#pragma once

// The plain C functions EnumeratePtapHifs and EnumeratePtapServices and their result codes.
#include <quillon/ptapenum.h>
#include <quillon/ptapmessages.h>

#include <map>

namespace comm::ptap {

/// Ready-made queries of the host interfaces and services, as maps. Static members only; callable
/// from any thread. The result codes are those of the plain C functions.
class QUILLON_API CPtapEnumeration {
  public:
    static constexpr int OK = PTAP_ENUM_OK;  ///< success, also when the device lists nothing
    static constexpr int SHORT_STRINGS = PTAP_ENUM_SHORT_STRINGS;  ///< a buffer is too small
    static constexpr int BAD_ARGUMENT = PTAP_ENUM_BAD_ARGUMENT;    ///< a pointer argument is null
    static constexpr int FAULT = PTAP_ENUM_FAULT;                  ///< the query failed

    /// Queries the device's host interfaces on the default socket. On failure the map is emptied;
    /// the reason is recorded as for CBasePtapMessage::Send.
    static bool EnumerateHifs(std::map<unsigned short, CQueryHifs::HifInfo>& hifs);
    /// Queries the device's services on the default socket. On failure the map is emptied; the
    /// reason is recorded as for CBasePtapMessage::Send.
    static bool EnumerateServices(std::map<unsigned short, CQueryServices::ServiceInfo>& services);

  private:
    QUILLON_LOCAL CPtapEnumeration();
    QUILLON_LOCAL virtual ~CPtapEnumeration();
};

}  // namespace comm::ptap
