// SPDX-License-Identifier: GPL-3.0-or-later
// A sound module from another build: its interface id differs from the
// program's, and its engine must never be made.
#include <QtGlobal>

#include <cstdlib>

extern "C" Q_DECL_EXPORT const char* kestrin_sound_interface() {
    return "0.0.0-another-build";
}

extern "C" Q_DECL_EXPORT void* kestrin_sound_engine() {
    std::abort();
}
