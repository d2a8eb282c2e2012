// The life of the transport singleton follows the library: built when the library loads,
// shut down (worker stopped, device closed) when it unloads or the process ends.
#include <transports/transport.h>

namespace comm::trans {

struct TransportsLibrary {
    TransportsLibrary() { CTransport::mInstance = new CTransport; }
    ~TransportsLibrary() {
        delete CTransport::mInstance;
        CTransport::mInstance = nullptr;
    }
};

namespace {
TransportsLibrary library;
}  // namespace

}  // namespace comm::trans
