// vellumark: the desktop program.

#include "gui/start_up.h"

int main(int argc, char** argv) { return vellumark::gui::runDesktopProgram(argc, argv); }
