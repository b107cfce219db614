// Cursor numbers of the image codec. Only the numbers exist here: the programs run without a
// screen, so there is no cursor table to register the hand cursors in.
#pragma once

constexpr int crHandPoint = 14000; // pointing hand, 32 x 32, hot spot (6, 16)
constexpr int crDragHand = 14001;  // grabbing hand, 32 x 32, hot spot (15, 16)
