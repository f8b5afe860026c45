// The POP3 session takes any bytes from the real server: greeting, login
// exchange, STAT, LIST, UIDL, the headers of the scan, DELE, and the replies
// to the client's commands afterwards.
// Input: the first byte chooses the login method the client asks for; the
// rest is everything the server sends, sent at once, after which the server
// stops sending (and reads what the session sends until it closes). The
// client logs in and then asks for everything a mail program asks for.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "filter/filter.h"
#include "fuzz/fuzz_session_harness.h"
#include "pop3/session.h"

namespace {

const char kKillFile[] =
    "--- ALLE\r\n"
    "\"*viagra*\" \xEAs \xAF"
    "DELE\r\n"
    "\"*lottery*\" \xEAn \xAFSKIP\r\n"
    "\"*spam*\" \xEAsq \xAF"
    "DELE\r\n";

constexpr const char* kMethods[] = {
    "", "apop:", "login:", "plain:", "cram-md5:", "digest-md5:", "auth:", "sasl:"};

const char kClientCommands[] =
    "STAT\r\nSTATALL\r\nLIST\r\nUIDL\r\nLIST 1\r\nUIDL 2\r\nRETR 1\r\nTOP 2 3\r\nRETR 3\r\n"
    "DELE 1\r\nRSET\r\nRETR 2\r\nTOP 1 0\r\nRETR 4\r\nDELE 3\r\nNOOP\r\nRETR 99\r\nQUIT\r\n";

bool Setup(fuzz_session::Loopback& servers) {
    fuzz_session::Prepare(servers.port());
    std::string pattern =
        (std::filesystem::temp_directory_path() / "trawlbox-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return false;
    std::string path = pattern + "/KILLFILE.CFG";
    std::ofstream(path, std::ios::binary) << kKillFile;
    return LoadKillFile(path) == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_session::Loopback clients;
    static fuzz_session::Loopback servers;
    static const bool ready = Setup(servers);
    if (!ready) std::abort();
    if (size == 0) return 0;
    const char* method = kMethods[data[0] % std::size(kMethods)];
    std::string_view serverBytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string client = std::string("USER ") + method + "127.0.0.1#fuzz\r\n" +
                         "PASS secret word#me@example.org\r\n" + kClientCommands;
    fuzz_session::RunSession(clients, servers, RunPop3Session, client, [&](int socket) {
        fuzz_session::SendAll(socket, serverBytes);
        fuzz_session::EndSending(socket);
        fuzz_session::DrainToEnd(socket);
    });
    return 0;
}
