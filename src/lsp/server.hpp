#pragma once

#include <istream>
#include <ostream>

namespace qern::cli {

// Serves the Language Server Protocol on `in` and `out` until the client says exit or goes
// away. Returns the process's exit status.
int run_language_server(std::istream& in, std::ostream& out);

}  // namespace qern::cli
