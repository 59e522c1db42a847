// The signatures shipped in the default FileSetting.txt, kept as the editor's field texts
// so the table reads like what a user would type.
#pragma once

#include <span>
#include <string>

#include "common/error.h"
#include "raw/signature_file.h"

namespace prendle::raw {

std::span<const SignatureFields> defaultSignatureTable();

// Writes the table to path (created or emptied) through the editor's record writer.
Status writeSignatureTable(std::span<const SignatureFields> table, const std::string& path);

}  // namespace prendle::raw
