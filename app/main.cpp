#include <cstdio>
#include <cstdlib>

#include "app/service.h"
#include "platform/console.h"

int main() {
    RunService();
    std::fflush(stdout);
    ConsoleRestore();
    // Session threads may still run: end without running destructors under them.
    std::_Exit(0);
}
