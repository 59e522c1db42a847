// The table of file systems the program reads: one line each in file_systems.cpp.
#pragma once

#include <span>
#include <string>

#include "fs/common/file_system.h"

namespace prendle::fs {

// Every registered type: the built-in table, then any registered at run time (tests).
std::span<const FileSystemType> fileSystemTypes();
// The type that opens volumes of this kind; null when none is built for it.
const FileSystemType* findFileSystem(FileSystemKind kind);
// Adds a type after the built-in ones; for tests that plug in a file system of their own.
void registerFileSystem(FileSystemType type);
// Takes a type added by registerFileSystem out again, by name.
void unregisterFileSystem(const std::string& name);

}  // namespace prendle::fs
