// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/twips.h"

#include <cmath>

namespace kestrin::platform {

int twipsToPixels(int twips, double logicalDpi) {
    return static_cast<int>(std::lround(twips * logicalDpi / 1440.0));
}

QRect twipsRect(int left, int top, int width, int height, double logicalDpi) {
    return {twipsToPixels(left, logicalDpi), twipsToPixels(top, logicalDpi),
            twipsToPixels(width, logicalDpi), twipsToPixels(height, logicalDpi)};
}

} // namespace kestrin::platform
