// The page's style sheet and script, built into the program: the page needs
// no file beside the executable and nothing from the internet.
#pragma once

#include <string_view>

// Served as /style.css.
extern const std::string_view kStyleSheet;

// Served as /icon.svg (and /favicon.ico, which browsers ask for unbidden).
extern const std::string_view kIcon;

// Served as /app.js. Refreshes the elements marked data-refresh (the
// overview's live parts) from a fresh copy of the same page; the page reads
// the same without it.
extern const std::string_view kRefreshScript;
