// The program-wide constants and the few pieces of state that every thread
// shares. Each item is set up once by start-up and lives until the process
// ends; nothing here is destroyed while a session thread may still run.
#pragma once

#include <atomic>
#include <mutex>
#include <string_view>

inline constexpr std::string_view kProgramVersion = "v0.25";
inline constexpr std::string_view kTextNewline = "\r\n";  // line break inside composed texts
inline constexpr std::string_view kLineFeed = "\n";       // separator of received text
inline constexpr std::string_view kWireNewline = "\r\n";  // appended to protocol lines
inline constexpr std::string_view kReplyNoSuchMessage = "-ERR no such message";
inline constexpr std::string_view kReplyUnknownCommand = "-ERR unknown command";

// Slot numbers run 1..kSlotCount; kSlotCount itself is the overflow entry.
inline constexpr int kSlotCount = 100;

// True while a kill file is loaded (at start-up or by a reload); the news
// filter runs only then.
extern std::atomic<bool> FilterLoaded;

// Raised by a listener that cannot create its socket, and by SIGINT/SIGTERM:
// any non-zero value ends the supervision loop.
extern std::atomic<int> StopRequests;

// Guards choosing and opening the kill file.
extern std::mutex& FileOpenLock;
