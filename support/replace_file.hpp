#pragma once

#include <string>

namespace tarn {

// Writes contents beside path (path + ".tmp") and then puts that file in path's place in one
// step, so a reader finds the old file or the new one, never a part of either. The file is
// readable by everyone: it is meant for another account's reader. Throws error::UnknownError
// naming the failed call.
void replace_file(const std::string& path, const std::string& contents);

}  // namespace tarn
