// SPDX-License-Identifier: GPL-3.0-or-later
// Screen lengths given in twips (1/1440 inch), as the window layout is.
#pragma once

#include <QRect>

namespace kestrin::platform {

// Pixels for `twips` at `logicalDpi` dots per inch, rounded to the nearest
// pixel: 15 twips a pixel at 96 dpi, 7.5 at 192 dpi.
int twipsToPixels(int twips, double logicalDpi);

// A rectangle given as left, top, width and height in twips.
QRect twipsRect(int left, int top, int width, int height, double logicalDpi);

} // namespace kestrin::platform
