// What every back end's test program gives the shared contract tests (contract_test.cpp).
#pragma once

namespace contract {

// A main window for the scroll bars, whose window procedure leaves them alone; true if made.
bool OpenWindow();
void CloseWindow();

// False once something wrote outside the canvas memory (where the back end can tell).
bool CanvasIntact();

} // namespace contract
