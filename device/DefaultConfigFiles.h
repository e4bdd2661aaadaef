#pragma once

namespace Quorvex {

// Writes the depth library's three default configuration files into the
// current directory: "ConfigAlgorithm.json", "ConfigCamera.json" and
// "register.json", in that order, each truncated and closed before the next
// is opened. Stops at the first file that cannot be opened for writing
// (those before it are rewritten, those after it left alone) and returns
// false; true when all three could be opened.
bool writeDefaultConfigFiles();

} // namespace Quorvex
