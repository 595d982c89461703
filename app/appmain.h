#pragma once

// The program: single instance, canvas size, main window, message loop. Returns the exit code.
int AppMain();
