// The news session takes any bytes from the real news server: greeting, the
// AUTHINFO exchange, and the replies and blocks of every command a reader
// sends, overview lists included.
// Input: the first byte chooses whether the reader names a user for the
// server (then the session logs in there with AUTHINFO); the rest is
// everything the server sends, sent at once, after which the server stops
// sending (and reads what the session sends until it closes).
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/globals.h"
#include "filter/filter.h"
#include "fuzz/fuzz_session_harness.h"
#include "nntp/session.h"

namespace {

const char kKillFile[] =
    "--- /DE/TEST\r\n"
    "\"*Cheap spam*\" \xEAs \xAFSKIP\r\n"
    "\"*first skip*\" \xEAs \xAFSKIP\r\n"
    "\"*then retr*\" \xEAs \xAFRETR\r\n"
    "\"*spammer@junk.example*\" \xEAnq \xAFSKIP\r\n"
    "--- /\r\n"
    "\"*Hello*\" \xEAs \xAFSKIP\r\n";

const char kReaderCommands[] =
    "CAPABILITIES\r\nMODE READER\r\nXOVER 1-10\r\nGROUP de.test\r\nXOVER 1-10\r\n"
    "OVER 1-3\r\nLISTGROUP de.test\r\nARTICLE 1\r\nHEAD 2\r\nBODY 3\r\nLIST\r\n"
    "NEWGROUPS 20260101 000000\r\nNEWNEWS * 20260101 000000\r\nHDR Subject 1-3\r\n"
    "XHDR Subject 1-3\r\nXPAT Subject 1-3 *spam*\r\nHELP\r\nDATE\r\nLAST\r\nNEXT\r\nSTAT 1\r\n"
    "POST\r\nSubject: test\r\n\r\n..dotted line\r\n.\r\nAUTHINFO USER again\r\n"
    "GROUP local.test\r\nXOVER\r\nQUIT\r\n";

bool Setup(fuzz_session::Loopback& servers) {
    fuzz_session::Prepare(servers.port());
    std::string pattern =
        (std::filesystem::temp_directory_path() / "trawlbox-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return false;
    std::string path = pattern + "/KILLFILE.CFG";
    std::ofstream(path, std::ios::binary) << kKillFile;
    if (LoadKillFile(path) != 1) return false;
    FilterLoaded = true;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_session::Loopback clients;
    static fuzz_session::Loopback servers;
    static const bool ready = Setup(servers);
    if (!ready) std::abort();
    if (size == 0) return 0;
    std::string_view serverBytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string reader = std::string("AUTHINFO USER 127.0.0.1") + ((data[0] & 1) ? "#reader" : "") +
                         "\r\nAUTHINFO PASS pass word\r\n" + kReaderCommands;
    fuzz_session::RunSession(clients, servers, RunNntpSession, reader, [&](int socket) {
        fuzz_session::SendAll(socket, serverBytes);
        fuzz_session::EndSending(socket);
        fuzz_session::DrainToEnd(socket);
    });
    return 0;
}
