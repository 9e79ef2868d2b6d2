// SPDX-License-Identifier: GPL-3.0-or-later
// Everything the editor window gains beyond its own form, attached in one
// place so the program and its start-up probe get the same.
#pragma once

namespace kestrin {
class EditorWindow;
}

namespace kestrin::views {

// Adds the Loop menu and the views to `window`, before it is first shown;
// they live as its children.
// Cheap: nothing here touches audio before a file is opened.
void AttachViews(EditorWindow& window);

} // namespace kestrin::views
