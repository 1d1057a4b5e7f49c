#pragma once
// The program's one window and its event loop: what the modal dialog and its procedure were in
// the original design. Paints on expose and after each invalidation, ticks the skin every
// 80 ms, hands keys and left presses to the skin, moves the window while the skin asks for a
// drag, keeps painting while a file dialog is open, and ends at UM_CLOSE.

#include <string>

namespace vidora {

class PlaybackEngine;
class SkinWindow;

// Runs the program until it closes; 0 after a normal close, kNoDisplay when there is no
// display to show a window on, -1 when the window cannot be created. `startFile`, when not
// empty, is opened at start as if chosen with the open button.
constexpr int kNoDisplay = -2;
int runProgram(PlaybackEngine& engine, SkinWindow& skin, const std::string& startFile);

}  // namespace vidora
