#include "platform/service_manager.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <string>

void TellServiceManager(std::string_view state) {
    const std::string text(state);
    (void)sd_notify(0, text.c_str());
}

bool StandardInputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}
