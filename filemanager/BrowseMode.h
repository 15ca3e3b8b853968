// `vantorix-finder browse [DIR]`: the stand-in for people. A live terminal view of a folder with each entry's
// badge as a coloured glyph and its label; without a terminal, the listing once the badges have settled.
#pragma once

#include <string>

namespace vantorix::finder {

int runBrowse(const std::string& directory);

}  // namespace vantorix::finder
