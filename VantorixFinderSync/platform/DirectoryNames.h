// A directory's names as one listing gave them, shared by whoever asked; null when it could not be listed.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vantorix {

using DirectoryNames = std::shared_ptr<const std::vector<std::string>>;

}  // namespace vantorix
