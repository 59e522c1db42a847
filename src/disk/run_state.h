// The run-wide state every page, parser and worker shares.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "disk/read_write_interface.h"

inline constexpr uint32_t kImagePageDialogId = 142;

extern std::unique_ptr<readWriteInterface> g_reader;
extern uint64_t g_totalSectors;
extern uint32_t g_sourceDialogId;
extern uint64_t g_userDiskBytes;
extern uint32_t g_userBlockSize;
extern uint64_t g_userBlockCount;
extern bool g_driveFormatted;
extern std::string g_rootName;

// Back to the values at start-up; used by tests and by a fresh run.
void resetRunState();
