#include "disk/run_state.h"

std::unique_ptr<readWriteInterface> g_reader;
uint64_t g_totalSectors = 0;
uint32_t g_sourceDialogId = 0;
uint64_t g_userDiskBytes = 0;
uint32_t g_userBlockSize = 0;
uint64_t g_userBlockCount = 0;
bool g_driveFormatted = false;
std::string g_rootName = "ROOT";

void resetRunState() {
    g_reader.reset();
    g_totalSectors = 0;
    g_sourceDialogId = 0;
    g_userDiskBytes = 0;
    g_userBlockSize = 0;
    g_userBlockCount = 0;
    g_driveFormatted = false;
    g_rootName = "ROOT";
}
