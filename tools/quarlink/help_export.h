// The bash completion script and the man page, both generated from the command-line
// definition itself, so they cannot drift from what the tool accepts.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace quarlink {

std::string BashCompletion(CLI::App& app);
std::string ManPage(CLI::App& app);

}  // namespace quarlink
