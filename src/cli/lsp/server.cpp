#include "cli/lsp/server.hpp"

namespace qern::cli {

int run_language_server(std::istream&, std::ostream& out) {
    out << "qern lsp: not available in this build\n";
    return 2;
}

}  // namespace qern::cli
