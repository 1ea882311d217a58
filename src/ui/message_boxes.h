// The information and error boxes, shown by the window's thread for any thread that asks.
#pragma once

namespace ostrevan {

// Installs the boxes as the program's message presenter; needs the application object.
void InstallMessageBoxes();
// From now on a box asked for returns at once: the window has gone.
void CloseMessageBoxes();

}  // namespace ostrevan
