// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/output.h"
#include "core/freed_memory.h"
#include "core/temporary_files.h"

#include <iostream>

int main(int argc, char** argv) {
    kestrin::RemoveTemporariesOnSignals();
    kestrin::KeepFreedMemoryForReuse();
    std::vector<std::string> args(argv + 1, argv + argc);
    return kestrin::cli::RunWithStandardOutput(args, std::cerr);
}
