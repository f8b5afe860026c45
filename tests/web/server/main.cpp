// Serves the web page with the fixture provider on a loopback port the
// system picks, for the browser tests. Prints "port N" once serving and
// stops when its standard input ends (the test closes it or exits).
// Usage: web_test_server [--password VALUE]
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "fixture_provider.h"
#include "web/web_server.h"

int main(int argc, char** argv) {
    WebOptions options;
    options.anyPort = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--password") == 0 && i + 1 < argc) {
            options.password = argv[++i];
        } else {
            std::cerr << "usage: web_test_server [--password VALUE]\n";
            return 2;
        }
    }
    WebServer server(MakeFixtureProvider(MakeFixtureData()));
    std::string problem = server.Start(options);
    if (!problem.empty()) {
        std::cerr << problem << "\n";
        return 1;
    }
    std::cout << "port " << server.Port() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    server.Stop();
    return 0;
}
