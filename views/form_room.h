// SPDX-License-Identifier: GPL-3.0-or-later
// Where the room of a window larger than its form goes: to the panels
// around the form, never to the form itself.
#pragma once

class QGridLayout;
class QWidget;

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

// Sets the form (the window's central widget, fixed in size) into a
// container (objectName "formRoom") that holds it at its top-left corner
// and takes whatever room the docks leave, and gives the right-hand dock
// area (the soundtrack list) the window's full height. While the window has
// the form's fixed size the container is exactly the form. Called before any
// dock is added. Returns the container's layout, whose rows below the form
// (row 1 on) are for lines about the form's positions, as wide as the form.
QGridLayout* GiveRoomAroundForm(EditorWindow& window);

// Shrinks `window` (frame included) to the available area of its screen
// when it has grown past it, down to no less than its minimum size, and
// moves it back onto the screen.
void KeepOnScreen(QWidget& window);

} // namespace kestrin::views
