// Lists the host interfaces and services of the device behind the PTAP driver, with the error
// text of a failure, and queries one service with a message of its own.
//
//   quillon_enumerate [FOLDER]   the folder of the device interfaces (default:
//                                $PTAP_INTERFACE_DIR, else /dev/ptap)
//
// Try it on the simulated device:  ptapsim --socket /tmp/ptapdev/ptap &
//                                   quillon_enumerate /tmp/ptapdev
#include <ostrel/ostrel.h>
#include <quillon/ptapenumeration.h>
#include <quillon/ptapmessages.h>
#include <quillon/version.h>
#include <transports/transport.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

// The text the transport and the messages record when they fail.
std::string LastError() {
    return CTheMsgHnd::GetAppropriateHandler(CMessageHandler::GROUP_COMMUNICATION,
                                             "quillon_enumerate")
        .GetErrorMsg();
}

}  // namespace

int main(int argc, char** argv) {
    using comm::trans::CTransport;
    std::printf("quillon %s\n", quillon_version());

    // A connection string must hold trans=ptap; dir= is optional.
    std::string connection = "trans=ptap";
    if (argc > 1) {
        connection += ";dir=" + std::string(argv[1]);
    }
    if (!CTransport::Ref().Init(connection)) {
        std::fprintf(stderr, "no device (%s): %s\n", connection.c_str(), LastError().c_str());
        return 1;
    }

    std::map<unsigned short, comm::ptap::CQueryHifs::HifInfo> hifs;
    if (!comm::ptap::CPtapEnumeration::EnumerateHifs(hifs)) {
        std::fprintf(stderr, "listing the host interfaces failed: %s\n", LastError().c_str());
        return 1;
    }
    for (const auto& [id, hif] : hifs) {
        std::printf("host interface %u: kind %d, \"%s\"\n", id, hif.hifKind, hif.hifName.c_str());
    }

    comm::ptap::CQueryServices query;  // sent on the process's default socket
    if (!query.Send()) {
        std::fprintf(stderr, "listing the services failed (status %u): %s\n",
                     static_cast<unsigned>(query.Status()), LastError().c_str());
        return 1;
    }
    for (const auto& [id, service] : query.Services()) {
        std::printf("service %u: words %u %d %u\n", id, service.word1, service.word2,
                    service.word4);
    }

    // A request the device refuses: false, and the status is the device's answer (a status the
    // device gives records no text; failures to get an answer do).
    comm::ptap::CServiceStart start(0xFFFF);
    if (start.Send()) {
        std::fprintf(stderr, "the device started service 0xffff\n");
        return 1;
    }
    std::printf("starting service 0xffff: the device answered status %u\n",
                static_cast<unsigned>(start.Status()));
    CTransport::Ref().Deinit();
    return 0;
}
